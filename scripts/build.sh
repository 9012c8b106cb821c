#!/usr/bin/env bash
# Configures and builds everything into build/ (or $PELORA_BUILD_DIR).
#
# The folder is configured when it is new or asked for another build type
# ($PELORA_BUILD_TYPE, RelWithDebInfo by default); after that the build re-runs CMake by
# itself whenever a CMakeLists.txt or a globbed folder changes. With PELORA_STRICT=1 (CI) it
# is configured every time, and any warning, CMake's or a compiler's, fails the build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
type="${PELORA_BUILD_TYPE:-RelWithDebInfo}"
configure=(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type")

if [ -z "${PELORA_STRICT:-}" ]; then
  if [ ! -f "$build/build.ninja" ] \
    || ! grep -qx "CMAKE_BUILD_TYPE:STRING=$type" "$build/CMakeCache.txt" 2>/dev/null; then
    "${configure[@]}" >/dev/null
  fi
  exec cmake --build "$build" --parallel "$(nproc)"
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# CMake says nothing on standard error while all is well: whatever it says there counts.
"${configure[@]}" >/dev/null 2>"$scratch/configure" || { cat "$scratch/configure" >&2; exit 1; }
if [ -s "$scratch/configure" ]; then
  cat "$scratch/configure" >&2
  echo "build.sh: CMake printed the above while configuring" >&2
  exit 1
fi
cmake --build "$build" --parallel "$(nproc)" 2>&1 | tee "$scratch/build"
if grep -Eiq 'warning:|^CMake .*Warning' "$scratch/build"; then
  echo "build.sh: the build is not free of warnings:" >&2
  grep -Ei -A3 'warning:|^CMake .*Warning' "$scratch/build" | head -40 >&2
  exit 1
fi
