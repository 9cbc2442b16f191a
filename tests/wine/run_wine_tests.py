#!/usr/bin/env python3
"""Runs queltmap95.exe under Wine against Wine's router, registry, profile
reader and kernel, with our provider and driver fixtures installed: the i686
release exe (the product) under 32-bit Wine, or its x86_64 sibling.

  run_wine_tests.py prepare FIXTURES ARCH PREFIX
  run_wine_tests.py run FIXTURES ARCH PREFIX GROUP
  run_wine_tests.py summary PREFIX...
  run_wine_tests.py tool FIXTURES PREFIX [--x86_64] [ARGUMENT...]

FIXTURES is the fixtures.json that the x86_64 build writes (both exes, both
provider builds and the driver); ARCH is i686 or x86_64. `prepare` creates
the prefix and installs the fixtures; `run` runs one group of cases with the
ARCH exe in it with one warm wineserver and prints one line per case and a
closing count; `summary` adds up the counts of the groups run in the
prefixes; `tool` runs the i686 exe (or the x86_64 one) with the arguments
in the current folder, in a prefix prepared as needed with an example
mappings.ini (scripts/run.sh).
"""

import difflib
import pathlib
import shutil
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import cases_commands  # noqa: E402
import cases_startup  # noqa: E402
import cases_status  # noqa: E402
from wine_prefix import RUN_KEYS, Prefix  # noqa: E402

ARCHES = tuple(RUN_KEYS)

GROUPS = {
    "usage": cases_commands.usage,
    "map": cases_commands.map_group,
    "unmap": cases_commands.unmap_group,
    "status": cases_status.status_group,
    "startup": cases_startup.startup_group,
    "install_startup": cases_startup.install_group,
    "embedded_default": cases_startup.embedded_default,
}


class Checks:
    """Collects the verdicts of one group."""

    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.problems = []

    def equal(self, what, actual, expected):
        if actual != expected:
            self.problems.append((what, actual, expected))

    def case(self, name):
        return _Case(self, name)


class _Case:
    def __init__(self, checks, name):
        self.checks = checks
        self.name = name

    def __enter__(self):
        self.start = len(self.checks.problems)
        return self

    def __exit__(self, kind, error, trace):
        if error is not None:
            self.checks.problems.append(("exception", repr(error), "none"))
        problems = self.checks.problems[self.start:]
        if problems:
            self.checks.failed += 1
            print(f"FAIL {self.name}")
            for what, actual, expected in problems:
                print(f"  {what}:")
                for line in difflib.unified_diff(_lines(expected), _lines(actual),
                                                 "expected", "actual", lineterm=""):
                    print("    " + line)
        else:
            self.checks.passed += 1
            print(f"ok   {self.name}")
        sys.stdout.flush()
        return True  # one case's exception does not stop the group


def _lines(value):
    if isinstance(value, bytes):
        return [repr(line) for line in value.split(b"\n")]
    if isinstance(value, (list, tuple)):
        return [repr(item) for item in value]
    if isinstance(value, dict):
        return [f"{key!r}: {value[key]!r}" for key in sorted(value)]
    return [repr(value)]


def _results(prefix_path):
    return pathlib.Path(prefix_path) / "results"


def summary(prefixes):
    """Cases passed and failed per exe; fails when an exe ran none."""
    counts = {arch: [0, 0] for arch in ARCHES}
    for path in prefixes:
        for result in sorted(_results(path).glob("*")):
            arch, passed, failed = result.read_text().split()
            counts[arch][0] += int(passed)
            counts[arch][1] += int(failed)
    for arch, (passed, failed) in counts.items():
        print(f"Wine cases on the {arch} exe: {passed} passed, {failed} failed")
    return 0 if all(p > 0 and f == 0 for p, f in counts.values()) else 1


def main(argv):
    if len(argv) == 4 and argv[0] == "prepare" and argv[2] in ARCHES:
        Prefix(argv[1], argv[3], argv[2]).prepare(force_import=True)
        shutil.rmtree(_results(argv[3]), ignore_errors=True)
        return 0
    if len(argv) >= 3 and argv[0] == "tool":
        arch = "x86_64" if argv[3:4] == ["--x86_64"] else "i686"
        # The product's prefix says Windows 95 to the product, and so to its
        # sibling of the same name.
        prefix = Prefix(argv[1], argv[2], arch, win95=True)
        prefix.prepare(force_import=False, sample_mappings=True)
        prefix.exec_tool(argv[4:] if arch == "x86_64" else argv[3:])
    if len(argv) == 5 and argv[0] == "run" and argv[2] in ARCHES and argv[4] in GROUPS:
        arch, group = argv[2], argv[4]
        prefix = Prefix(argv[1], argv[3], arch)
        prefix.prepare(force_import=False)
        checks = Checks()
        try:
            prefix.start_server()
            GROUPS[group](prefix, checks)
        finally:
            prefix.stop_server()
        print(f"{arch} {group}: {checks.passed} passed, {checks.failed} failed")
        _results(argv[3]).mkdir(exist_ok=True)
        (_results(argv[3]) / group).write_text(f"{arch} {checks.passed} {checks.failed}\n")
        return 0 if checks.failed == 0 and checks.passed > 0 else 1
    if len(argv) >= 2 and argv[0] == "summary":
        return summary(argv[1:])
    print(__doc__.strip(), file=sys.stderr)
    print("groups: " + ", ".join(GROUPS), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
