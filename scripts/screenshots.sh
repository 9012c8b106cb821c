#!/usr/bin/env bash
# Renders the home page (not connected, stable, overload, gone silent), the settings dialog and its port list, the sensor
# page and the traffic console at
# 1280 x 720 into docs/, offscreen, with the CJK font.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
. "$root/scripts/common.sh"
check_build_dir
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
make_runtime_dir
trap remove_runtime_dir EXIT
QT_QPA_PLATFORM=offscreen "$build/pelora-screenshots" "$root/docs"
