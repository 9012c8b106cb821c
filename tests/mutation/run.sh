#!/usr/bin/env bash
# Plants each fault of tests/mutation/*.patch in the source tree in turn, rebuilds, runs the
# whole suite, and reports which faults the suite catches ("killed") and which it misses
# ("survived"). A fault that does not even build counts as killed, but is listed apart: it
# says nothing about the tests.
#
# Usage:
#   bash tests/mutation/run.sh                      every patch
#   bash tests/mutation/run.sh protocol-sg-net-letter recordstore-commit-lost.patch
#                                                   only these (with or without .patch)
# Environment:
#   PELORA_BUILD_DIR   build folder (default: <worktree>/build), as scripts/build.sh uses it
#   MUTATION_LOCK      lock shared with other builds (default: /tmp/pelora-build.lock)
#   MUTATION_TIMEOUT   per-test timeout in seconds (default: 120)
#   MUTATION_SKIP_BASELINE=1  skip the first run of the unmutated suite, which otherwise
#                      must pass before any fault is planted
#
# The source tree must hold no uncommitted change to the files a patch touches. The lock is
# held only for each build-and-test step, so other builds can run in between. Each patch is
# taken back out (git apply -R) whatever happens, including Ctrl-C. Logs of every run go to
# <build>/mutation/<name>.log. Exit status: 0 when every fault was killed, 1 otherwise.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(git -C "$here" rev-parse --show-toplevel)"
build="${PELORA_BUILD_DIR:-$root/build}"
lock="${MUTATION_LOCK:-/tmp/pelora-build.lock}"
timeout="${MUTATION_TIMEOUT:-120}"
logs="$build/mutation"
mkdir -p "$logs"

patches=()
if [ $# -eq 0 ]; then
    for p in "$here"/*.patch; do
        [ -e "$p" ] && patches+=("$p")
    done
else
    for name in "$@"; do
        name="$(basename "$name" .patch)"
        p="$here/$name.patch"
        if [ ! -f "$p" ]; then
            echo "no such patch: $p" >&2
            exit 2
        fi
        patches+=("$p")
    done
fi
if [ ${#patches[@]} -eq 0 ]; then
    echo "no patches in $here" >&2
    exit 2
fi

applied=""
restore() {
    if [ -n "$applied" ]; then
        git -C "$root" apply -R "$applied" || echo "could not take back $applied: restore by hand" >&2
        applied=""
    fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# One build and one suite run, under the shared lock. Exit status 3 means the build failed.
# Given the fault's catchers from catchers.txt (ctest names, or "binary:function,function" for
# a few functions of a test binary run offscreen), those run first, and the whole suite runs
# only when they all pass: a fault counts as caught exactly when the suite would fail, and a
# caught fault costs only its catchers' time.
step() {
    flock "$lock" bash -c '
        PELORA_BUILD_DIR="$1" bash "$2/scripts/build.sh" || exit 3
        cd "$1" || exit 2
        export QT_QPA_PLATFORM=offscreen
        for c in $4; do
            case "$c" in
            *:*) echo "catcher: $c"
                 timeout "$3" "tests/${c%%:*}" $(echo "${c#*:}" | tr , " ") || exit 1 ;;
            *) ctest --timeout "$3" --output-on-failure -R "^$c\$" || exit 1 ;;
            esac
        done
        ctest -j2 --timeout "$3" --output-on-failure
    ' step "$build" "$root" "$timeout" "${1:-}"
}

# The catchers of a fault, from catchers.txt ("fault: catcher catcher ...").
catchers() {
    [ -f "$here/catchers.txt" ] || return 0
    sed -n "s/^$1:[[:space:]]*//p" "$here/catchers.txt"
}

# A suite that fails unmutated would count every fault as killed.
if [ -z "${MUTATION_SKIP_BASELINE:-}" ]; then
    if ! step >"$logs/baseline.log" 2>&1; then
        echo "the unmutated suite fails (see $logs/baseline.log): no score" >&2
        exit 2
    fi
    echo "baseline: the unmutated suite passes"
fi

names=()
results=()
details=()
killed=0
for p in "${patches[@]}"; do
    name="$(basename "$p" .patch)"
    log="$logs/$name.log"
    if ! git -C "$root" apply --check "$p" 2>"$log"; then
        echo "$name: does not apply (see $log)" >&2
        names+=("$name"); results+=("no-apply"); details+=("")
        continue
    fi
    git -C "$root" apply "$p"
    applied="$p"
    start=$SECONDS
    step "$(catchers "$name")" >>"$log" 2>&1
    rc=$?
    restore
    took=$((SECONDS - start))
    if [ $rc -eq 0 ]; then
        result="survived"
        detail=""
    elif [ $rc -eq 3 ]; then
        result="build-failure"
        detail=""
        killed=$((killed + 1))
    else
        result="killed"
        # ctest's closing list: "  12 - tst_window (Failed)"
        detail="$(sed -n 's/^[[:space:]]*[0-9]\+ - \([^ ]*\) .*/\1/p' "$log" | sort -u | paste -sd, -)"
        # A catcher run on its own names its failing functions: "FAIL!  : TestWindow::f()"
        [ -n "$detail" ] || detail="$(sed -n 's/^FAIL! *: *\([^(]*\)(.*/\1/p' "$log" | sort -u | paste -sd, -)"
        killed=$((killed + 1))
    fi
    printf '%-45s %-14s %4ss %s\n' "$name" "$result" "$took" "$detail"
    names+=("$name"); results+=("$result"); details+=("$detail")
done

# Leave the build matching the restored source.
flock "$lock" bash -c 'PELORA_BUILD_DIR="$1" bash "$2/scripts/build.sh"' step "$build" "$root" \
    >"$logs/restored-build.log" 2>&1 || echo "rebuild of the restored source failed: $logs/restored-build.log" >&2

total=0
for r in "${results[@]}"; do
    [ "$r" != "no-apply" ] && total=$((total + 1))
done
echo
printf '%-45s %-14s %s\n' "mutant" "result" "failing tests"
printf '%-45s %-14s %s\n' "------" "------" "-------------"
for i in "${!names[@]}"; do
    printf '%-45s %-14s %s\n' "${names[$i]}" "${results[$i]}" "${details[$i]}"
done
echo
echo "score: $killed/$total killed (build failures included; patches that did not apply left out)"
[ "$killed" -eq "$total" ]
