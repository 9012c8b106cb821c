# Sourced by run.sh, test.sh and screenshots.sh after they set $root and $build.

# A build folder copied from elsewhere (the project folder copied with its build/) names
# the old folders in its CMakeCache.txt, and CMake refuses to use it. Say so, and start
# afresh: the default build/ is removed; a folder named by PELORA_BUILD_DIR is left alone.
check_build_dir() {
  local cache="$build/CMakeCache.txt" src here
  [ -f "$cache" ] || return 0
  src="$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")"
  here="$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "$cache")"
  if [ "$(cd "$src" 2>/dev/null && pwd -P)" = "$(cd "$root" && pwd -P)" ] \
    && [ "$(cd "$here" 2>/dev/null && pwd -P)" = "$(cd "$build" && pwd -P)" ]; then
    return 0
  fi
  echo "$build was made for the sources in $src (build folder $here), not for $root:" >&2
  echo "CMake cannot reuse it." >&2
  if [ -n "${PELORA_BUILD_DIR:-}" ]; then
    echo "Set PELORA_BUILD_DIR to a new folder, or remove $build." >&2
    exit 1
  fi
  echo "Removing $build and building afresh (or set PELORA_BUILD_DIR to a new folder)." >&2
  if ! rm -rf -- "$build"; then
    echo "Could not remove $build: remove it, or set PELORA_BUILD_DIR to a new folder." >&2
    exit 1
  fi
}

# Without XDG_RUNTIME_DIR Qt makes /tmp/runtime-USER and leaves it behind. Give the tool a
# scratch one (mode 0700, as Qt wants it), which remove_runtime_dir removes again.
runtime_dir_made=
make_runtime_dir() {
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR="$(mktemp -d "${TMPDIR:-/tmp}/pelora-runtime.XXXXXX")"
    chmod 0700 "$XDG_RUNTIME_DIR"
    export XDG_RUNTIME_DIR
    runtime_dir_made="$XDG_RUNTIME_DIR"
  fi
}
remove_runtime_dir() {
  if [ -n "$runtime_dir_made" ]; then rm -rf -- "$runtime_dir_made"; fi
}
