"""The Wine tests run every case on both exes (the i686 release exe under
32-bit Wine, the x86_64 sibling under wine64), each in a prefix of its own
per pytest-xdist worker, with a wineserver of its own:

  pytest tests/wine [--exe i686|x86_64] [-n WORKERS] [-k CASE]

after the builds of both presets (scripts/test.sh, or CMakePresets.json)."""

import os
import pathlib
import re

import pytest

from wine_prefix import ARCHES, Prefix, wine32_starts

# check_case's failed comparisons show their differences, as a test module's do.
pytest.register_assert_rewrite("case_support")

ROOT = pathlib.Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    parser.addoption("--wine-fixtures", type=pathlib.Path,
                     default=ROOT / "build/mingw-x86_64/tests/wine/fixtures.json",
                     help="the fixtures.json that the mingw-x86_64 build writes")
    parser.addoption("--exe", action="append", choices=ARCHES,
                     help="run the cases on this exe only (repeatable; default both)")


def _exes(config):
    return config.getoption("exe") or list(ARCHES)


def pytest_configure(config):
    worker = hasattr(config, "workerinput")
    if not worker and "i686" in _exes(config) and not wine32_starts():
        pytest.exit("32-bit Wine does not start here; run scripts/bootstrap.sh", returncode=1)


def pytest_generate_tests(metafunc):
    if "arch" in metafunc.fixturenames:
        metafunc.parametrize("arch", _exes(metafunc.config), scope="session")


@pytest.fixture(scope="session")
def prefix(request, arch):
    """This worker's prefix for the `arch` exe, fresh from the base, with
    its wineserver running until the worker is done."""
    fixtures = request.config.getoption("wine_fixtures")
    worker = os.environ.get("PYTEST_XDIST_WORKER", "main")
    lane = Prefix(fixtures, fixtures.parent / "prefixes" / f"{arch}-{worker}", arch)
    lane.make_lane()
    lane.start_server()
    yield lane
    lane.stop_server()


@pytest.fixture(autouse=True)
def new_record_of_runs(prefix):
    """A test's failure report shows the programs that it ran."""
    prefix.runs.clear()


def pytest_terminal_summary(terminalreporter, config):
    """Each test run again (pytest-rerunfailures, see CMakeLists.txt) and
    the lines of its failure that allowed it."""
    patterns = config.getoption("only_rerun", None) or []
    for report in terminalreporter.stats.get("rerun", []):
        lines = [line.strip() for line in report.longrepr.reprcrash.message.splitlines()
                 if any(re.search(pattern, line) for pattern in patterns)]
        terminalreporter.write_line(f"RERUN {report.nodeid}: {' | '.join(lines)}")
