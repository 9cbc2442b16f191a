#!/bin/bash
# Size and start-up cost of queltmap95.exe against an empty program built on
# the same start-up with the same flags (runtime/empty.c). Not a test: it
# prints figures and checks them against the budget, exit status 1 when over.
#
#   tools/bench.sh [RUNS]      (RUNS defaults to 200)
#
# Size and imports are those of the i686 exe, the product. The budgeted time
# is that of the x86_64 build under wine64, whose CPU is never emulated, all
# runs under one warm persistent wineserver in a prefix of the benchmark's
# own; the tool runs with /status, which fails at once without the driver.
# The i686 exe's start-up under 32-bit Wine (under qemu-i386 where the
# kernel runs no 32-bit code) is printed too, for information.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
runs="${1:-200}"
size_budget=6144
ratio_budget=1.02
i686_runs=$(((runs + 19) / 20))

for preset in mingw-i686 mingw-x86_64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target queltmap95 quelt_empty quelt_dll_floor >/dev/null
done
i686=build/mingw-i686
x64=build/mingw-x86_64

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
stripped_size() {
    i686-w64-mingw32-strip -o "$work/stripped.exe" "$1"
    stat -c %s "$work/stripped.exe"
}
tool_size=$(stripped_size $i686/queltmap95.exe)
empty_size=$(stripped_size $i686/quelt_empty.exe)
python3 tools/gate/pe_gate.py --list-imports $i686/queltmap95.exe >"$work/imports"
import_count=$(wc -l <"$work/imports")

echo "i686 queltmap95.exe, stripped: $tool_size bytes (budget $size_budget)"
echo "i686 empty program, stripped:  $empty_size bytes"
echo "imports: $import_count"
sed 's/^/  /' "$work/imports"

# wine64's loader, which hands 32-bit programs to the 32-bit one.
wine=/usr/lib/wine/wine64
export WINEPREFIX="$root/build/bench-wine-prefix" WINEDEBUG=-all WINELOADER=$wine
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    $wine wineboot --init >/dev/null 2>&1
    wineserver -w
fi
wineserver -p
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

# Microseconds of wall time that "$@" takes, its output and status dropped.
elapsed() {
    local start=${EPOCHREALTIME/./}
    $wine "$@" >/dev/null 2>&1 || true
    echo $((${EPOCHREALTIME/./} - start))
}

for _ in 1 2 3 4 5; do # warm the server and the page cache
    elapsed $x64/queltmap95.exe /status >/dev/null
    elapsed $x64/quelt_empty.exe >/dev/null
    elapsed $x64/quelt_dll_floor.exe >/dev/null
done
# Taken in turn, so that a drift of the machine weighs on all three alike.
tool_us=0 empty_us=0 floor_us=0
for ((i = 0; i < runs; i++)); do
    tool_us=$((tool_us + $(elapsed $x64/queltmap95.exe /status)))
    empty_us=$((empty_us + $(elapsed $x64/quelt_empty.exe)))
    floor_us=$((floor_us + $(elapsed $x64/quelt_dll_floor.exe)))
done

ratio=$(awk -v a=$tool_us -v b=$empty_us 'BEGIN { printf "%.3f", a / b }')
floor_ratio=$(awk -v a=$tool_us -v b=$floor_us 'BEGIN { printf "%.3f", a / b }')
ms() { awk -v us="$1" 'BEGIN { printf "%.0f ms", us / 1000 }'; }
echo "wine64, $runs runs each:"
echo "  x86_64 queltmap95.exe /status: $(ms $tool_us)"
echo "  x86_64 empty program:          $(ms $empty_us); tool / that: $ratio"
echo "  the same DLLs, loaded by a program that does nothing: $(ms $floor_us)"
echo "  tool / that: $floor_ratio (budget $ratio_budget)"

i686_tool_us=0 i686_empty_us=0
elapsed $i686/queltmap95.exe /status >/dev/null # the 32-bit side's first start
for ((i = 0; i < i686_runs; i++)); do
    i686_tool_us=$((i686_tool_us + $(elapsed $i686/queltmap95.exe /status)))
    i686_empty_us=$((i686_empty_us + $(elapsed $i686/quelt_empty.exe)))
done
cpu=native
grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && cpu="emulated by qemu-i386"
echo "32-bit Wine (CPU $cpu), $i686_runs runs each, for information:"
echo "  i686 queltmap95.exe /status: $(ms $((i686_tool_us / i686_runs))) a run"
echo "  i686 empty program:          $(ms $((i686_empty_us / i686_runs))) a run"

over=0
[ "$tool_size" -le $size_budget ] || { echo "OVER BUDGET: size"; over=1; }
awk -v r="$floor_ratio" -v b=$ratio_budget 'BEGIN { exit !(r <= b) }' || { echo "OVER BUDGET: ratio"; over=1; }
[ $over -eq 0 ] && echo "within budget"
exit $over
