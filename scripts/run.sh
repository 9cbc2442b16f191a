#!/bin/bash
# Runs queltmap95.exe under Wine with the given arguments, in the caller's
# folder, in the project's own prefix build/wine-prefix: the i686 release
# exe, the file that users get, under 32-bit Wine; with --x86_64 first, its
# x86_64 sibling under wine64. It builds both, and the two test fixtures
# that stand in for the QueltNFS95 provider and the QUELTVXD driver. There,
# with no settings of the fixtures', /map, /unmap, /status, /startup (from
# C:\windows\QUELT95\mappings.ini, an example at first) and /install-startup
# all do their real work. The tool's runs show no message of Wine's own.
#
#   scripts/run.sh [--x86_64] [ARGUMENT...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/bootstrap.sh" run >&2
for preset in mingw-i686 mingw-x86_64; do
    (cd "$root" && cmake --preset $preset >/dev/null &&
        cmake --build --preset $preset -j"$(nproc)" >/dev/null)
done

python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" -B "$root/tests/wine/wine_prefix.py" tool \
    "$root/build/mingw-x86_64/tests/wine/fixtures.json" "$root/build/wine-prefix" "$@"
