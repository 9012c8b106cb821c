#!/usr/bin/env bash
# Builds the Debian package of the tool (build/pelora_<version>_<arch>.deb). With --check it
# also validates the desktop entry and the AppStream metadata, installs the package into a
# fresh minimal Debian 12 root that holds only its dependencies, and operates the installed
# tool there (scripts/package-check-root.sh): every page, dialog and popup, a record, a CSV
# export. Any "is not installed", QML error or crash fails it.
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

# The check runs in a fresh minimal Debian 12 root that holds the package's dependencies
# and nothing else, so a module the tool loads but the package does not bring is found.
# A pristine root (never installed into) is kept with the packages it downloads, and copied
# for every check; making it the first time takes a few minutes.
if [ "$(id -u)" -ne 0 ]; then
  echo "package.sh: the check makes a Debian root, which needs root" >&2
  exit 1
fi
files="$build/package-check"
case "$files" in
  "$root"/*) inside="/src/${files#"$root"/}" ;;
  *) echo "package.sh: the check needs the build folder inside the checkout" >&2; exit 1 ;;
esac
rm -rf "$files"
mkdir -p "$files"
cp "$deb" "$build/sim/pelora-sensor-sim" "$build/packaging/check/pelora-package-check.so" "$files/"
roots="${PELORA_ROOTS_DIR:-/var/cache/pelora/roots}"
suite="${PELORA_PACKAGE_SUITE:-bookworm}"
PELORA_ROOTS_DIR="$roots/pristine" bash "$root/scripts/debian-root.sh" "$suite" bash -c \
  "apt-get update -qq && apt-get install --download-only -y -qq --no-install-recommends $inside/$(basename "$deb") >/dev/null"
fresh="$(mktemp -d /var/tmp/pelora-fresh-root.XXXXXX)"
trap 'rm -rf --one-file-system "$fresh"' EXIT
cp -a "$roots/pristine/$suite" "$fresh/$suite"
PELORA_ROOTS_DIR="$fresh" bash "$root/scripts/debian-root.sh" "$suite" \
  bash scripts/package-check-root.sh "$inside"
