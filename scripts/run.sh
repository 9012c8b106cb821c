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
if [ "${1:-}" = "--real" ]; then exe="$build/pelora"; fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
  exec "$exe"
fi

echo "No display found: running under xvfb-run (nothing will be visible)."
# Ctrl+C must reach the program alone: were the X server to get it too, it would die
# first and take the program down before it can clean up. So the server runs in a
# session of its own, and the signal is handed to the program, whose pid the wrapper
# below leaves in a file; xvfb-run stops the server once the program has ended.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
setsid xvfb-run -a sh -c 'echo $$ >"$0"; exec "$1"' "$scratch/pid" "$exe" &
server=$!
stop() {
  if [ -s "$scratch/pid" ]; then
    kill -INT "$(cat "$scratch/pid")" 2>/dev/null || true
  else
    kill -TERM -- "-$server" 2>/dev/null || true # not started yet: end it all
  fi
}
trap stop INT TERM HUP
status=0
while :; do
  wait "$server" && status=0 || status=$?
  kill -0 "$server" 2>/dev/null || break # a trapped signal interrupts wait; go on waiting
done
exit "$status"
