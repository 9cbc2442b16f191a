#!/bin/bash
# Builds queltmap95.exe for x86_64 and the two test fixtures that stand in
# for the QueltNFS95 provider and the QUELTVXD driver, and runs the exe under
# wine64 with the given arguments, in the caller's folder, in the project's
# own prefix build/wine-prefix. There, with no settings of the fixtures',
# /map, /unmap, /status, /startup (from C:\windows\QUELT95\mappings.ini,
# an example at first) and /install-startup all do their real work.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/bootstrap.sh" >&2
(cd "$root" && cmake --preset mingw-x86_64 >/dev/null &&
    cmake --build --preset mingw-x86_64 -j"$(nproc)" >/dev/null)

python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$root/tests/wine/run_wine_tests.py" tool \
    "$root/build/mingw-x86_64/tests/wine/fixtures.json" "$root/build/wine-prefix" "$@"
