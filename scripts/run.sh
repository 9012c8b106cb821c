#!/usr/bin/env bash
# Sets up the machine, builds Pelora and starts it. Without arguments it starts the
# demo, attached to a simulated sensor; with --real it starts the tool itself, for
# a scale on a real serial port.
set -euo pipefail
# `su USER -c "bash scripts/run.sh"` runs this under USER's shell, and on Ctrl+C su signals
# that shell alone: this script would never hear of it. So it runs with TERM as its
# parent-death signal (setpriv, util-linux), which then reaches it when that shell dies.
if [ -z "${PELORA_RUN_GUARDED:-}" ] && command -v setpriv >/dev/null 2>&1; then
  PELORA_RUN_GUARDED=1 exec setpriv --pdeathsig TERM bash "$0" "$@"
fi
unset PELORA_RUN_GUARDED
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
. "$root/scripts/common.sh"
check_build_dir
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
exe="$build/sim/pelora-demo"
if [ "${1:-}" = "--real" ]; then exe="$build/pelora"; fi

scratch="$(mktemp -d)"
make_runtime_dir
trap 'remove_runtime_dir; rm -rf "$scratch"' EXIT

# What is started runs in a session (and process group) of its own, so that Ctrl+C, a
# closed terminal or su's TERM reach this script alone, which hands them on and waits until
# everything it started has ended. The program gets TERM (the demo quits cleanly on it;
# a background job started here ignores INT). Under xvfb-run the program's pid is left in a
# file by the wrapper below: were the X server signalled too, it would die first and take
# the program down before it can clean up; xvfb-run stops the server once the program has
# ended.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
  setsid sh -c 'echo $$ >"$0"; exec "$1"' "$scratch/pid" "$exe" &
else
  echo "No display found: running under xvfb-run (nothing will be visible)."
  setsid xvfb-run -a sh -c 'echo $$ >"$0"; exec "$1"' "$scratch/pid" "$exe" &
fi
group=$!
stop() {
  if [ -s "$scratch/pid" ]; then
    kill -TERM "$(cat "$scratch/pid")" 2>/dev/null || true
  else
    kill -TERM -- "-$group" 2>/dev/null || true # not started yet: end it all
  fi
}
trap stop INT TERM HUP
status=0
while :; do
  wait "$group" && status=0 || status=$?
  kill -0 "$group" 2>/dev/null || break # a trapped signal interrupts wait; go on waiting
done
# Whatever of the group is still there (an X server left by a killed xvfb-run) goes too.
kill -TERM -- "-$group" 2>/dev/null || true
exit "$status"
