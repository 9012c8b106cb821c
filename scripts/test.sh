#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test and the QML linter.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PELORA_BUILD_DIR:-$root/build}"
. "$root/scripts/common.sh"
check_build_dir
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
cmake --build "$build" --target all_qmllint
bash "$root/scripts/format-check.sh"
make_runtime_dir
trap remove_runtime_dir EXIT
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure --timeout 300 -j "$(nproc)"
