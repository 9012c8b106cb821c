#!/usr/bin/env bash
# Builds the Debian package of the tool (build/pelora_<version>_<arch>.deb). With --check it
# also validates the desktop entry and the AppStream metadata, installs the package with
# apt-get, starts the installed tool offscreen until it has rendered its first frame (with
# settings in a scratch folder), and removes the package again if it was not installed before.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
rm -f "$build"/pelora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/pelora_*.deb)"
echo "Built $deb"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
[ "${1:-}" = "--check" ] || exit 0

appstreamcli validate --no-net "$root/packaging/local.pelora.Pelora.metainfo.xml"
desktop-file-validate "$root/packaging/local.pelora.Pelora.desktop"

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "package.sh: installing the package needs root (or sudo)" >&2
    exit 1
  fi
  as_root=(sudo)
fi

scratch="$(mktemp -d)"
pid=""
was_installed=false
if dpkg-query -W -f='${Status}' pelora 2>/dev/null | grep -q "install ok installed"; then
  was_installed=true
fi
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [ "$was_installed" = false ]; then
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get remove -y -qq pelora >/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "$deb" >/dev/null
echo "Installed: $(dpkg-query -W -f='${Package} ${Version}' pelora) as $(command -v pelora)"

# The tool has no options of its own: Qt's scene graph timing log tells when a frame is out.
log="$scratch/pelora.log"
mkdir -m 700 "$scratch/runtime"
(cd "$scratch" && exec env HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
  XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen \
  QT_LOGGING_RULES="qt.scenegraph.time.renderloop=true" pelora >"$log" 2>&1) &
pid=$!
rendered=false
for _ in $(seq 300); do # up to 30 s
  if grep -qi "frame rendered" "$log"; then rendered=true; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=""
if [ "$rendered" != true ] || grep -qE "qrc:/|failed to load|not installed|not found" "$log"; then
  echo "package.sh: the installed tool did not render its first frame cleanly:" >&2
  grep -v "^qt.scenegraph" "$log" | head -20 >&2
  exit 1
fi
echo "The installed tool rendered its first frame: $(grep -im1 "frame rendered" "$log")"
