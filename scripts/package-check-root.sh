#!/usr/bin/env bash
# Run by `package.sh --check` inside a fresh minimal Debian root: installs the package with
# its dependencies and nothing else (no recommended packages), then operates the installed
# tool as an operator would, offscreen, against a simulated sensor: every page, dialog and
# popup opened, a record made, exported as CSV, its ticket saved as PDF, and the records file
# and the export checked with pelora-verify. Then runs pelora-station as its systemd unit
# would. Fails on "is not installed", any QML warning or error, a crash, or a step that never
# completes.
#   package-check-root.sh FOLDER   (FOLDER holds pelora_*.deb, pelora-sensor-sim and
#                                   pelora-package-check.so)
set -euo pipefail
files="$1"
apt-get install -y -qq --no-install-recommends "$files"/pelora_*.deb >/dev/null
echo "Installed in a fresh root: $(dpkg-query -W -f='${Package} ${Version}' pelora), $(dpkg -l | grep -c '^ii') packages in all"

scratch="$(mktemp -d)"
sim=""
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/config/Pelora" "$scratch/data"
mkdir -m 700 "$scratch/runtime"
"$files/pelora-sensor-sim" --link "$scratch/sensor" --rate 10 --load 2.5 </dev/null >"$scratch/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$scratch/sensor" ] && break; sleep 0.05; done
[ -e "$scratch/sensor" ] || { echo "package check: the simulated sensor did not start" >&2; cat "$scratch/sim.log" >&2; exit 1; }
printf '[serial]\nportName=%s\nbaudRate=115200\n' "$scratch/sensor" >"$scratch/config/Pelora/Pelora.conf"

status=0
(cd "$scratch" && exec timeout 180 env HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
  XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen \
  PELORA_CHECK_CSV="$scratch/records.csv" LD_PRELOAD="$files/pelora-package-check.so" \
  /usr/bin/pelora >"$scratch/pelora.log" 2>&1) || status=$?
grep -v "SerialPort\|^qt.scenegraph" "$scratch/pelora.log" | tail -n 30
if [ "$status" -ne 0 ]; then
  echo "package check: the installed tool failed (exit status $status)" >&2
  exit 1
fi
echo "Exported: $(grep -m 1 ',记录,' "$scratch/records.csv" | cut -d, -f1-11)"
head -c 5 "$scratch/records.csv.pdf" | grep -q '%PDF-' || { echo "package check: no ticket PDF" >&2; exit 1; }
echo "Ticket: $(stat -c %s "$scratch/records.csv.pdf") bytes of PDF"
# The installed command-line check, on the records file and on its export.
for file in "$(find "$scratch/data" -name records.sqlite | head -n 1)" "$scratch/records.csv"; do
  said="$(/usr/bin/pelora-verify "$file" 2>&1)" || { echo "package check: pelora-verify $file: $said" >&2; exit 1; }
  echo "pelora-verify $(basename "$file"): $said"
done

# The station without a window, as its systemd unit runs it (this root has no systemd):
# the unit's command as the unit's user, with that user's settings; a record made by
# itself, the live API answering with the token, a clean stop on SIGTERM, and a second start
# that goes on with the same file.
unit=/usr/lib/systemd/system/pelora-station@.service
[ -f "$unit" ] || { echo "package check: $unit is missing" >&2; exit 1; }
command="$(sed -n 's/^ExecStart=//p' "$unit")"
id -u weigher >/dev/null 2>&1 || useradd --create-home --groups dialout weigher
home=/home/weigher
mkdir -p "$home/.config/Pelora"
printf '[serial]\nportName=%s\nbaudRate=115200\n\n[api]\nenabled=true\naddress=127.0.0.1\nport=18765\ntoken=packagecheck0123456789\n' \
  "$scratch/sensor" >"$home/.config/Pelora/Pelora.conf"
chown -R weigher: "$home"
chmod o+rx "$scratch"
# A serial adapter is the dialout group's; the simulated sensor's terminal is root's alone.
chmod o+rw "$(readlink -f "$scratch/sensor")"
station=""
run=0
start_station() {
  # Each run logs to a file of its own: the next waits for its own "listening".
  run=$((run + 1))
  log="$scratch/station-$run.log"
  # As systemd starts it: the program itself, as that user (setpriv execs, it does not wait).
  setpriv --reuid=weigher --regid=weigher --init-groups env HOME="$home" JOURNAL_STREAM=0:0 $command >"$log" 2>&1 &
  station=$!
  for _ in $(seq 200); do grep -q "api: listening" "$log" && return 0; sleep 0.05; done
  echo "package check: pelora-station did not start" >&2; cat "$log" >&2; exit 1
}
stop_station() {
  kill -TERM "$station"
  local rc=0
  wait "$station" || rc=$?
  [ "$rc" -eq 0 ] || { echo "package check: pelora-station ended with $rc on SIGTERM" >&2; cat "$log" >&2; exit 1; }
  tail -n 1 "$log" | grep -q "pelora-station: station: stopped" \
    || { echo "package check: pelora-station did not stop cleanly" >&2; cat "$log" >&2; exit 1; }
}
start_station
for _ in $(seq 200); do grep -q "station: record 1:" "$log" && break; sleep 0.05; done
grep -q "station: record 1:" "$log" || { echo "package check: the station made no record" >&2; cat "$log" >&2; exit 1; }
# A WebSocket handshake by hand, then what the server sends: its greeting and the reading.
exec 3<>/dev/tcp/127.0.0.1/18765
printf 'GET /?token=packagecheck0123456789 HTTP/1.1\r\nHost: 127.0.0.1:18765\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n' >&3
said="$(timeout 3 head -c 700 <&3 | tr -c '[:print:]' ' ' || true)"
exec 3<&-
case "$said" in
  *"101 Switching Protocols"*'"type":"hello"'*'"type":"reading"'*) echo "API: greeting and readings received" ;;
  *) echo "package check: the station's API said: $said" >&2; exit 1 ;;
esac
stop_station
start_station
stop_station
cat "$scratch"/station-*.log | sed 's/^<[0-9]>//' | grep -v "api: 正在" | tail -n 14
records="$home/.local/share/Pelora/Pelora/records.sqlite"
said="$(/usr/bin/pelora-verify "$records" 2>&1)" || { echo "package check: pelora-verify of the station's file: $said" >&2; exit 1; }
echo "pelora-verify the station's records.sqlite: $said"
