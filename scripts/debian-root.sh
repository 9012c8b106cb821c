#!/usr/bin/env bash
# Runs a command in a minimal Debian root of another release, with this checkout at /src:
#
#   bash scripts/debian-root.sh SUITE COMMAND...      e.g.  bash scripts/debian-root.sh trixie bash scripts/test.sh
#
# The root is made once with debootstrap (--variant=minbase, from the mirror the host's apt
# uses) and kept under /var/cache/pelora/roots/SUITE, so packages installed in it stay for the
# next run. Each run mounts proc, sys, dev, dev/pts, a tmpfs on /tmp and the checkout inside,
# runs COMMAND in /src through `chroot ROOT bash -lc`, and takes every mount down again however
# it ends. Runs on one root take turns (a lock), so two of them never stack their mounts.
#
# Only PELORA_* and CI cross into the root from the environment. PELORA_BUILD_DIR defaults to
# /var/tmp/pelora-build-SUITE inside the root: the host's build/ holds another Qt's build.
# PELORA_ROOTS_DIR and PELORA_DEBIAN_MIRROR override where roots live and where packages come
# from. Needs root.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 SUITE COMMAND..." >&2
  exit 2
fi
suite="$1"
shift
case "$suite" in
  *[!a-z0-9-]* | "") echo "debian-root.sh: not a suite name: $suite" >&2; exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "debian-root.sh: making and entering a root needs root" >&2
  exit 1
fi

checkout="$(cd "$(dirname "$0")/.." && pwd -P)"
roots="${PELORA_ROOTS_DIR:-/var/cache/pelora/roots}"
mkdir -p "$roots"
roots="$(cd "$roots" && pwd -P)"
root="$roots/$suite"
fresh="$roots/.$suite.new"

# The host's Debian mirror: the first non-security URI of its apt sources.
host_mirror() {
  local uri
  uri="$(awk '
    /^[[:space:]]*$/ { if (u != "" && s !~ /security/) { print u; exit } u = ""; s = "" }
    tolower($1) == "uris:" { u = $2 }
    tolower($1) == "suites:" { s = $0 }
    END { if (u != "" && s !~ /security/) print u }
  ' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)"
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri="$(awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while (i <= NF && $(i - 1) !~ /\]$/) i++
                              if ($(i + 1) !~ /security/) { print $i; exit } }' \
      /etc/apt/sources.list)"
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# Mount points at or below $1, deepest first.
mounts_under() {
  awk -v top="$1" '$5 == top || index($5, top "/") == 1 { print $5 }' /proc/self/mountinfo \
    | sort -r
}

unmount_under() {
  local m
  for m in $(mounts_under "$1"); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}

# Processes whose root is the given folder were started inside it by a run of this script.
processes_in() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && echo "${p#/proc/}"
  done
  return 0
}

end_processes_in() {
  local pids tries=50
  mapfile -t pids < <(processes_in "$1")
  [ ${#pids[@]} -gt 0 ] || return 0
  echo "debian-root.sh: ending what is still running in $1: ${pids[*]}" >&2
  kill -TERM "${pids[@]}" 2>/dev/null || true
  while [ -n "$(processes_in "$1")" ] && [ $tries -gt 0 ]; do
    sleep 0.1
    tries=$((tries - 1))
  done
  mapfile -t pids < <(processes_in "$1")
  [ ${#pids[@]} -eq 0 ] || kill -KILL "${pids[@]}" 2>/dev/null || true
}

child=""
# shellcheck disable=SC2317 # called from the trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$child" ] && kill -0 "$child" 2>/dev/null; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  end_processes_in "$root"
  unmount_under "$root"
  if [ -d "$fresh" ]; then # a root still being made is never reused
    end_processes_in "$fresh"
    unmount_under "$fresh"
    rm -rf --one-file-system "$fresh"
  fi
  exit "$status"
}
# One run at a time per root; the command itself does not inherit the lock. Only the run
# that holds it cleans up, so one left waiting and then stopped touches nothing.
exec 9>"$roots/.$suite.lock"
if ! flock -n 9; then
  echo "debian-root.sh: waiting for another run in $root to end" >&2
  flock 9
fi
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Whatever a killed run left mounted goes first; nothing else can be using the root now.
end_processes_in "$root"
unmount_under "$root"

if [ ! -x "$root/usr/bin/bash" ]; then
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "debian-root.sh: installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null 2>&1 \
      || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; }
  fi
  mirror="${PELORA_DEBIAN_MIRROR:-$(host_mirror)}"
  echo "debian-root.sh: making a $suite root from $mirror (a few minutes)"
  unmount_under "$fresh"
  rm -rf --one-file-system "$fresh"
  # Made beside its final place and moved there whole, so a cut-off run leaves no half root.
  debootstrap --variant=minbase "$suite" "$fresh" "$mirror" >"$roots/.$suite.debootstrap.log" 2>&1 \
    || { tail -n 20 "$roots/.$suite.debootstrap.log" >&2; exit 1; }
  unmount_under "$fresh"
  rm -rf --one-file-system "$root"
  mv "$fresh" "$root"
fi

# Services a package would start inside the root stay stopped: the root has no init, and
# a daemon left running would hold its mounts.
if [ ! -x "$root/usr/sbin/policy-rc.d" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
fi

# Name resolution as the host has it now, not as it was when the root was made.
if [ -e /etc/resolv.conf ]; then
  cp --remove-destination -L /etc/resolv.conf "$root/etc/resolv.conf"
fi

# Binds are made slaves: on a host whose mounts are shared, what is mounted on or under
# them here (dev/pts, dev/shm), and unmounted again, would otherwise happen to the host too.
bind() {
  mount "$1" "$2" "$3"
  mount --make-rslave "$3"
}
mount -t proc proc "$root/proc"
bind --rbind /sys "$root/sys"
bind --bind /dev "$root/dev"
bind --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mkdir -p "$root/src"
bind --bind "$checkout" "$root/src"

env_in=(HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for name in $(compgen -e); do
  case "$name" in
    PELORA_ROOTS_DIR | PELORA_DEBIAN_MIRROR) ;;
    PELORA_* | CI) env_in+=("$name=${!name}") ;;
  esac
done
if [ -z "${PELORA_BUILD_DIR:-}" ]; then
  env_in+=("PELORA_BUILD_DIR=/var/tmp/pelora-build-$suite")
fi

command_line="cd /src && exec$(printf ' %q' "$@")"
chroot "$root" /usr/bin/env -i "${env_in[@]}" bash -lc "$command_line" 9>&- &
child=$!
status=0
wait "$child" || status=$?
child=""
exit "$status"
