#!/bin/bash
# Installs what is missing, builds every configuration and runs every test.
# mingw-i686 comes before mingw-x86_64, whose Wine tests run its exe too.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh test

PRESETS=(native native-asan mingw-i686 mingw-x86_64 fuzz)
for preset in "${PRESETS[@]}"; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    ctest --preset "$preset"
done

# pytest's own count of the Wine cases, per exe, from CTest's log.
echo "== Wine cases"
awk '/^[0-9]+\/[0-9]+ Testing: wine\./ { exe = $NF }
     /^=+ .*[0-9]+ (passed|failed).* in / { print exe ": " $0 }' \
    build/mingw-x86_64/Testing/Temporary/LastTest.log
