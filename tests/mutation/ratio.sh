#!/usr/bin/env bash
# Lines of test against lines of everything else, counting only lines that hold code: blank
# lines and lines that are nothing but a comment are left out.
#   tests:  tests/**/*.cpp, *.h, *.qml
#   code:   src/ (*.cpp, *.h, *.js, *.qml), sim/ and bench/ (*.cpp, *.h), scripts/ (*.sh,
#           *.cpp), and every CMakeLists.txt / *.cmake (tests/CMakeLists.txt included)
# Only files git tracks count. Usage: bash tests/mutation/ratio.sh
set -euo pipefail
cd "$(git -C "$(dirname "$0")" rev-parse --show-toplevel)"

# C-style sources: "//" lines and /* ... */ blocks are comments.
count_c() {
    [ $# -eq 0 ] && { echo 0; return; }
    awk '
        inblock { if (index($0, "*/")) inblock = 0; next }
        /^[[:space:]]*$/ { next }
        /^[[:space:]]*\/\// { next }
        /^[[:space:]]*\/\*/ { if (!index($0, "*/")) inblock = 1; next }
        { n++ }
        END { print n + 0 }' "$@"
}
# Shell and CMake: "#" lines are comments.
count_hash() {
    [ $# -eq 0 ] && { echo 0; return; }
    awk '/^[[:space:]]*$/ || /^[[:space:]]*#/ { next } { n++ } END { print n + 0 }' "$@"
}
files() { git ls-files -- "$@"; }

mapfile -t test_files < <(files 'tests/*.cpp' 'tests/*.h' 'tests/*.qml')
mapfile -t src_files < <(files 'src/*.cpp' 'src/*.h' 'src/*.js' 'src/*.qml')
mapfile -t sim_bench < <(files 'sim/*.cpp' 'sim/*.h' 'bench/*.cpp' 'bench/*.h' 'scripts/*.cpp')
mapfile -t scripts < <(files 'scripts/*.sh')
mapfile -t cmake < <(files 'CMakeLists.txt' '*/CMakeLists.txt' '*.cmake')

tests=$(count_c "${test_files[@]}")
src=$(count_c "${src_files[@]}")
simbench=$(count_c "${sim_bench[@]}")
sh=$(count_hash "${scripts[@]}")
cm=$(count_hash "${cmake[@]}")
code=$((src + simbench + sh + cm))
echo "tests:            $tests lines (${#test_files[@]} files)"
echo "code:             $code lines"
echo "  src/            $src (${#src_files[@]} files)"
echo "  sim/ bench/ scripts/*.cpp  $simbench (${#sim_bench[@]} files)"
echo "  scripts/*.sh    $sh (${#scripts[@]} files)"
echo "  CMake           $cm (${#cmake[@]} files)"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests/code:       %.1f%%\n", 100 * t / c }'
