#!/bin/bash
# Builds queltmap95.exe for x86_64 and runs it under wine64 with the given
# arguments, in a Wine prefix of the project's own inside the build tree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/bootstrap.sh" >&2
(cd "$root" && cmake --preset mingw-x86_64 >/dev/null &&
    cmake --build --preset mingw-x86_64 -j"$(nproc)" >/dev/null)

export WINEPREFIX="$root/build/wine-prefix" WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1
exec wine "$root/build/mingw-x86_64/queltmap95.exe" "$@"
