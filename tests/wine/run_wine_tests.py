#!/usr/bin/env python3
"""Runs queltmap95.exe under wine64 against Wine's router, registry, profile
reader and kernel, with our provider and driver fixtures installed.

  run_wine_tests.py prepare FIXTURES PREFIX
  run_wine_tests.py run FIXTURES PREFIX GROUP
  run_wine_tests.py tool FIXTURES PREFIX [ARGUMENT...]

FIXTURES is the fixtures.json that the build writes (the exe and the two
fixtures). `prepare` creates the prefix and installs the fixtures; `run`
runs one group of cases in it with one warm wineserver and prints one line
per case and a closing count; `tool` runs the exe with the arguments in the
current folder, in a prefix prepared as needed with an example mappings.ini
(scripts/run.sh).
"""

import difflib
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import cases_commands  # noqa: E402
import cases_startup  # noqa: E402
import cases_status  # noqa: E402
from wine_prefix import Prefix  # noqa: E402

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


def main(argv):
    if len(argv) == 3 and argv[0] == "prepare":
        Prefix(argv[1], argv[2]).prepare(force_import=True)
        return 0
    if len(argv) >= 3 and argv[0] == "tool":
        prefix = Prefix(argv[1], argv[2])
        prefix.prepare(force_import=False, sample_mappings=True)
        sys.stdout.flush()
        os.execvpe("wine", ["wine", prefix.fixtures["exe"]] + argv[3:], prefix.env)
    if len(argv) == 4 and argv[0] == "run" and argv[3] in GROUPS:
        prefix = Prefix(argv[1], argv[2])
        prefix.prepare(force_import=False)
        checks = Checks()
        prefix.start_server()
        try:
            GROUPS[argv[3]](prefix, checks)
        finally:
            prefix.stop_server()
        print(f"{argv[3]}: {checks.passed} passed, {checks.failed} failed")
        return 0 if checks.failed == 0 and checks.passed > 0 else 1
    print(__doc__.strip(), file=sys.stderr)
    print("groups: " + ", ".join(GROUPS), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
