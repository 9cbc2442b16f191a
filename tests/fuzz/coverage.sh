#!/bin/bash
# Line coverage of src/queltmap95.cpp reached by the seed corpus (or by the
# inputs in the directories given), measured with clang 14's source-based
# coverage on a plain build of the oracle self-test, which runs each input
# once and, unlike the fuzz target, does not stop at a broken rule.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/fuzz-coverage"
mkdir -p "$out"
flags=(-std=c++17 -O0 -fprofile-instr-generate -fcoverage-mapping -I"$root/tests/win32")

clang++-14 "${flags[@]}" -Dmain=tool_main -c "$root/src/queltmap95.cpp" -o "$out/tool.o"
clang++-14 "${flags[@]}" -I"$root/tests/fuzz" "$out/tool.o" "$root/tests/win32/standin.cpp" \
    "$root/tests/fuzz/decode.cpp" "$root/tests/fuzz/oracle.cpp" \
    "$root/tests/fuzz/oracle_selftest.cpp" -o "$out/replay"

rm -f "$out"/*.profraw
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=("$root/tests/fuzz/corpus")
for dir in "${dirs[@]}"; do
    LLVM_PROFILE_FILE="$out/%p.profraw" "$out/replay" "$dir" | tail -1 || true
done
llvm-profdata-14 merge -o "$out/all.profdata" "$out"/*.profraw
llvm-cov-14 report "$out/replay" -instr-profile="$out/all.profdata" "$root/src/queltmap95.cpp"
llvm-cov-14 show "$out/replay" -instr-profile="$out/all.profdata" -show-line-counts \
    "$root/src/queltmap95.cpp" >"$out/queltmap95.cpp.txt"
echo "line counts: $out/queltmap95.cpp.txt"
