#!/usr/bin/env bash
# Installs the Debian packages that building, running, testing and packaging Pelora need.
# Safe to run again: it only calls apt-get (and so needs root) when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools qt6-serialport-dev
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qttest qt6-qpa-plugins libgl-dev
  libqt6sql6-sqlite qml6-module-qtquick-shapes qml6-module-qtquick-dialogs
  qml6-module-qt-labs-folderlistmodel qt6-translations-l10n
  xvfb xauth fonts-noto-cjk libx11-dev libxtst-dev
  clang-format dpkg-dev file appstream desktop-file-utils debootstrap
  libreoffice-calc-nogui sqlite3 poppler-utils
  postgresql libqt6sql6-psql
  qt6-websockets-dev python3-websockets
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

install="apt-get update && apt-get install -y ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive sh -c "$install"
elif command -v sudo >/dev/null 2>&1; then
  echo "Installing (through sudo): ${missing[*]}"
  sudo DEBIAN_FRONTEND=noninteractive sh -c "$install"
else
  cat >&2 <<EOF
setup.sh: these Debian packages are missing: ${missing[*]}
Installing them needs root, but this user is not root and there is no sudo.
Install them as root (su asks for root's password), then run this again:

  su -c '$install'

EOF
  exit 1
fi
