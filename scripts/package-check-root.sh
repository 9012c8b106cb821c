#!/usr/bin/env bash
# Run by `package.sh --check` inside a fresh minimal Debian root: installs the package with
# its dependencies and nothing else (no recommended packages), then operates the installed
# tool as an operator would, offscreen, against a simulated sensor: every page, dialog and
# popup opened, a record made, exported as CSV, its ticket saved as PDF, and the records file
# and the export checked with pelora-verify. Fails on "is not installed", any QML
# warning or error, a crash, or a step that never completes.
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
