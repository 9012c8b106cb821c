#!/usr/bin/env bash
# Runs pelora-station under a real systemd: a fresh Debian 12 root booted with systemd as its
# PID 1 (systemd-nspawn), the package installed, and the unit pelora-station@weigher started,
# restarted, stopped, enabled and brought up again by a reboot, against the simulated sensor.
# By hand, as root, after `bash scripts/package.sh` (it takes the .deb and the simulator from
# the build folder); it installs systemd-container on this machine when missing.
#
# On a host whose PID 1 is not systemd (no system bus), nspawn needs both --register=no and
# --keep-unit; a reboot inside then ends nspawn with 133, which the boot loop below restarts.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
deb="$(ls "$build"/pelora_*.deb)"
[ "$(id -u)" -eq 0 ] || { echo "station-systemd-check.sh: needs root" >&2; exit 1; }
command -v systemd-nspawn >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq systemd-container

top="$(mktemp -d /var/tmp/pelora-systemd.XXXXXX)"
machine="$top/bookworm"
nspawn=(systemd-nspawn -q --register=no --keep-unit)
cleanup() {
  if [ -f "$top/nspawn.pid" ]; then kill "$(cat "$top/nspawn.pid")" 2>/dev/null || true; fi
  [ -n "${loop:-}" ] && { kill "$loop" 2>/dev/null || true; wait "$loop" 2>/dev/null || true; }
  rm -rf --one-file-system "$top"
}
trap cleanup EXIT
pristine="${PELORA_ROOTS_DIR:-/var/cache/pelora/roots}/pristine/bookworm"
if [ -d "$pristine" ]; then cp -a "$pristine" "$machine"; else
  debootstrap --variant=minbase bookworm "$machine" >/dev/null; fi
cp "$deb" "$build/sim/pelora-sensor-sim" "$machine/root/"
echo pelora-station-check >"$machine/etc/hostname"
"${nspawn[@]}" -D "$machine" --pipe /bin/sh -c "export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends systemd systemd-sysv dbus \
    /root/$(basename "$deb") >/dev/null"

( while :; do
    "${nspawn[@]}" --console=read-only -D "$machine" -b >>"$top/boot.log" 2>&1 &
    echo $! >"$top/nspawn.pid"
    rc=0; wait $! || rc=$?
    [ "$rc" = 133 ] || break
  done ) &
loop=$!
inside() {
  local init
  init="$(ps -o pid= --ppid "$(cat "$top/nspawn.pid")" | head -n 1 | tr -d ' ')"
  nsenter -t "$init" -a env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_PAGER=cat \
    SYSTEMD_COLORS=0 "$@"
}
# Polls (every half second, at most 60 s) until the command inside succeeds.
until_inside() {
  for _ in $(seq 120); do inside sh -c "$1" >/dev/null 2>&1 && return 0; sleep 0.5; done
  echo "station-systemd-check: never: $1" >&2; inside journalctl --no-pager -u pelora-station@weigher | tail -n 20 >&2; exit 1
}
booted='s=$(systemctl is-system-running); [ "$s" = running ] || [ "$s" = degraded ]'
until_inside "$booted"
inside sh -c 'useradd --create-home --groups dialout weigher
  install -d -o weigher -g weigher /home/weigher/.config/Pelora
  printf "[serial]\nportName=/tmp/sensor\nbaudRate=115200\n\n[api]\nenabled=true\naddress=127.0.0.1\nport=18765\ntoken=check\n" >/home/weigher/.config/Pelora/Pelora.conf
  chown weigher: /home/weigher/.config/Pelora/Pelora.conf
  install -m 755 /root/pelora-sensor-sim /usr/local/bin/'
sensor() {
  inside systemd-run -q --unit=pelora-sensor-sim -p StandardInput=null /usr/local/bin/pelora-sensor-sim \
    --link /tmp/sensor --rate 10 --load 2.5
  until_inside 'test -e /tmp/sensor'
  inside sh -c 'chmod o+rw "$(readlink -f /tmp/sensor)"' # the adapter is dialout's; the pty root's
}
sensor
unit=pelora-station@weigher
journal="journalctl --no-pager -u $unit"
echo "is-enabled after installing: $(inside systemctl is-enabled $unit || true)"
inside systemctl start $unit
until_inside "$journal | grep -q 'station: record 1: 2.500 kg'"
until_inside "$journal | grep -q 'api: listening'"
inside systemctl restart $unit
until_inside "[ \$($journal | grep -c 'station: stopped') = 1 ] && [ \$($journal | grep -c 'link: 已连接') = 2 ]"
inside systemctl stop $unit
echo "after stop: $(inside systemctl is-active $unit || true), $(inside systemctl show -p Result --value $unit)"
inside systemctl enable -q $unit
inside systemctl reboot || true
until_inside "$booted"
sensor
until_inside "systemctl is-active -q $unit && $journal -b 0 | grep -q 'link: 已连接'"
echo "after reboot: $(inside systemctl is-enabled $unit), $(inside systemctl is-active $unit)"
inside journalctl --no-pager -o short-monotonic -u $unit | grep -v "api: 正在"
inside systemctl poweroff || true
wait "$loop" || true
loop=""
