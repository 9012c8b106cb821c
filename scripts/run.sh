#!/usr/bin/env bash
# Sets up the machine, builds Pelora and starts it. Without arguments it starts the
# demo, attached to a simulated sensor; with --real it starts the tool itself, for
# a scale on a real serial port.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
exe="$build/sim/pelora-demo"
if [ "${1:-}" = "--real" ]; then exe="$build/appPelora"; fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: running under xvfb-run (nothing will be visible)."
  exec xvfb-run -a "$exe"
fi
exec "$exe"
