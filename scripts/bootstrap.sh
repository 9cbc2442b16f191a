#!/bin/bash
# Installs the Debian packages the builds and tests need, where missing.
set -euo pipefail

PACKAGES=(
    cmake make g++ python3 googletest libgtest-dev libgmock-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
    wine wine64
    clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
)

missing=()
for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}"
