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

echo "== Wine cases"
python3 tests/wine/run_wine_tests.py summary build/mingw-x86_64/tests/wine/prefixes/*
