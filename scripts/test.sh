#!/bin/bash
# Installs what is missing, builds every configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

PRESETS=(native native-asan mingw-i686 mingw-x86_64 fuzz)
for preset in "${PRESETS[@]}"; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    ctest --preset "$preset"
done
