#!/bin/bash
# Line coverage of src/queltmap95.cpp reached by the seed corpus (or by the
# inputs in the directories given), measured with clang's source-based
# coverage on a plain build of the oracle self-test, which runs each input
# once and, unlike the fuzz target, does not stop at a broken rule. clang++,
# llvm-profdata and llvm-cov are those of the release's default LLVM (14 on
# Debian 12, 19 on Debian 13), all three of one version, as the format of
# the raw profiles changes from one LLVM to the next.
#
#   coverage.sh [--out DIR] [CORPUS_DIR...]
#
# Fails when a replay fails, when a line is left unexecuted that UNREACHED
# does not name, and when a line that UNREACHED names is not found among
# the unexecuted ones (it was run, changed or removed).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
src="$root/src/queltmap95.cpp"
out="$root/build/fuzz-coverage"
if [ "${1:-}" = --out ]; then
    out="$2"
    shift 2
fi

# The lines no run of main can reach, by their text, and why.
declare -A UNREACHED=(
    ['drive_name = "";']='main passes print_vxd_mapping argv[2], never a null pointer'
)

mkdir -p "$out"
flags=(-std=c++17 -O0 -Wall -Wextra -Werror -Wformat=2 -fprofile-instr-generate
    -fcoverage-mapping -I"$root/tests/win32" -I"$root/tests")
clang++ "${flags[@]}" -Dmain=tool_main -c "$src" -o "$out/tool.o"
clang++ "${flags[@]}" "$out/tool.o" "$root/tests/win32/standin.cpp" \
    "$root"/tests/fuzz/{decode,oracle,oracle_selftest}.cpp -o "$out/replay"

rm -f "$out"/*.profraw
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=("$root/tests/fuzz/corpus")
for dir in "${dirs[@]}"; do
    LLVM_PROFILE_FILE="$out/%p.profraw" "$out/replay" "$dir"
done
llvm-profdata merge -o "$out/all.profdata" "$out"/*.profraw
llvm-cov report "$out/replay" -instr-profile="$out/all.profdata" "$src"
llvm-cov show "$out/replay" -instr-profile="$out/all.profdata" -show-line-counts \
    "$src" >"$out/queltmap95.cpp.txt"
echo "line counts: $out/queltmap95.cpp.txt"

# "  171|      0|        text": a line of code that ran no time.
status=0
declare -A found=()
while read -r number text; do
    if [ -n "${UNREACHED[$text]+named}" ]; then
        found[$text]=1
        echo "line $number unexecuted, as named: $text (${UNREACHED[$text]})"
    else
        echo "FAILED: line $number unexecuted: $text"
        status=1
    fi
done < <(sed -nE 's/^ *([0-9]+)\| *0\|(.*)$/\1 \2/p' "$out/queltmap95.cpp.txt")
for text in "${!UNREACHED[@]}"; do
    if [ -z "${found[$text]+seen}" ]; then
        echo "FAILED: no unexecuted line reads: $text (named because ${UNREACHED[$text]})"
        status=1
    fi
done
exit $status
