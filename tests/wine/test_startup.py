"""/startup from a real mappings.ini through Wine's profile reader,
/install-startup read back from Wine's registry, and the embedded default
that scripts/run.sh gives a newcomer."""

import shutil
import time

import pytest

from case_support import (add_call, cancel_call, check_case, connections, ids,
                          mapping_request, out, profile, reset, status_request, write_mappings)
from wine_prefix import SAMPLE_MAPPINGS, dos_path


def ini(*lines):
    return "".join(line + "\r\n" for line in lines).encode("cp1252")


LONG_REMOTE = "\\\\QueltNFS\\s\\" + "x" * 300

STARTUP_TABLE = [
    {"name": "no mappings file: nothing printed, 0",
     "args": ["/startup"], "out": b"", "status": 0, "provider_log": []},
    {"name": "letter order, whatever the file order",
     "mappings": ini("[Drive.R]", "Local=R:", r"Remote=\\QueltNFS\r\e",
                     "[Drive.F]", "Local=F:", r"Remote=\\QueltNFS\f\e"),
     "args": ["/STARTUP", "extra"],
     "out": out(r"F: mapped to \\QueltNFS\f\e", r"R: mapped to \\QueltNFS\r\e"), "status": 0,
     "provider_log": [add_call("F:", r"\\QueltNFS\f\e"), add_call("R:", r"\\QueltNFS\r\e")],
     "profile": {"F": profile(r"\\QueltNFS\f\e"), "R": profile(r"\\QueltNFS\r\e")}},
    {"name": "incomplete entries are skipped, later letters still run",
     "mappings": ini("[Drive.B]", "Local=B:",
                     "[Drive.C]", r"Remote=\\QueltNFS\c\e",
                     "[Drive.D]", "Local=", r"Remote=\\QueltNFS\d\e",
                     "[Drive.E]", "Local=E:", "Remote=",
                     "[Drive.Z]", "Local=Z:", r"Remote=\\QueltNFS\z\e"),
     "args": ["/startup"],
     "out": out(r"Z: mapped to \\QueltNFS\z\e"), "status": 0,
     "provider_log": [add_call("Z:", r"\\QueltNFS\z\e")]},
    {"name": "the letter only orders: Drive.A connects R:",
     "mappings": ini("[Drive.A]", "Local=R:", r"Remote=\\QueltNFS\a\e"),
     "args": ["/startup"],
     "out": out(r"R: mapped to \\QueltNFS\a\e"), "status": 0,
     "provider_log": [add_call("R:", r"\\QueltNFS\a\e")]},
    {"name": "same local name twice: both asked, the second refused; a failure stops nothing",
     "mappings": ini("[Drive.G]", "Local=G:", r"Remote=\\QueltNFS\one\e",
                     "[Drive.H]", "Local=G:", r"Remote=\\QueltNFS\two\e",
                     "[Drive.J]", "Local=J:", r"Remote=\\elsewhere\j\e",
                     "[Drive.K]", "Local=K:", r"Remote=\\QueltNFS\k\e"),
     "args": ["/startup"],
     "out": out(r"G: mapped to \\QueltNFS\one\e", "map failed: 85", "map failed: 67",
                r"K: mapped to \\QueltNFS\k\e"),
     "status": 0,
     "provider_log": [add_call("G:", r"\\QueltNFS\one\e"),
                      add_call("G:", r"\\QueltNFS\two\e", 85),
                      add_call("J:", r"\\elsewhere\j\e", 67),
                      add_call("K:", r"\\QueltNFS\k\e")]},
    {"name": "values cut to 15 and 259 characters by the profile reader",
     "mappings": ini("[Drive.M]", "Local=ABCDEFGHIJKLMNOPQRS", "Remote=" + LONG_REMOTE),
     "args": ["/startup"],
     "out": out("ABCDEFGHIJKLMNO mapped to " + LONG_REMOTE[:259]), "status": 0,
     "provider_log": [add_call("ABCDEFGHIJKLMNO", LONG_REMOTE[:259])]},
    {"name": "values of exactly 15 and 259 characters pass whole",
     "mappings": ini("[Drive.M]", "Local=ABCDEFGHIJKLMNO", "Remote=" + LONG_REMOTE[:259]),
     "args": ["/startup"],
     "provider_log": [add_call("ABCDEFGHIJKLMNO", LONG_REMOTE[:259])],
     "out": out("ABCDEFGHIJKLMNO mapped to " + LONG_REMOTE[:259]), "status": 0},
    {"name": "lower-case section and key names, blanks around names and values",
     "mappings": ini("[drive.k]", "  local  =   K:   ", "REMOTE=\t\\\\QueltNFS\\k\\e \t",
                     "  [ Drive.L ]  ", "Local=L:", r"Remote=\\QueltNFS\l\e"),
     "args": ["/startup"],
     "out": out(r"K: mapped to \\QueltNFS\k\e", r"L: mapped to \\QueltNFS\l\e"), "status": 0,
     "provider_log": [add_call("K:", r"\\QueltNFS\k\e"), add_call("L:", r"\\QueltNFS\l\e")]},
    {"name": "Wine's reader drops quotes around a value",
     "mappings": ini("[Drive.N]", 'Local="N:"', "Remote='\\\\QueltNFS\\n\\e'",
                     "[Drive.O]", 'Local="O:', r"Remote=\\QueltNFS\o\e"),
     "args": ["/startup"],
     "out": out(r"N: mapped to \\QueltNFS\n\e", r'"O: mapped to \\QueltNFS\o\e'), "status": 0},
    {"name": "other sections and keys have no effect",
     "mappings": ini("[Drive.1]", "Local=1:", r"Remote=\\QueltNFS\1\e",
                     "[Drive.AB]", "Local=A:", r"Remote=\\QueltNFS\ab\e",
                     "[Drive]", "Local=D:", r"Remote=\\QueltNFS\d\e",
                     "[Drive.P]", "Drive=P:", r"Path=\\QueltNFS\p\e", "Local=P:",
                     "; [Drive.Q]", "Local =Q:"),
     "args": ["/startup"], "out": b"", "status": 0, "provider_log": []},
    {"name": "a mapping already held fails and the others go on",
     "table": connections(("F:", r"\\QueltNFS\held\e")),
     "mappings": ini("[Drive.F]", "Local=F:", r"Remote=\\QueltNFS\f\e",
                     "[Drive.S]", "Local=S:", r"Remote=\\QueltNFS\s\e"),
     "args": ["/startup"],
     "out": out("map failed: 85", r"S: mapped to \\QueltNFS\s\e"), "status": 0},
]


@pytest.mark.parametrize("case", STARTUP_TABLE, ids=ids(STARTUP_TABLE))
def test_startup(prefix, case):
    check_case(prefix, case)


def _install(prefix, place):
    """Puts a copy of the exe at C:\\<folder>\\<name>; its Windows path.
    None is the exe where the build left it."""
    if place is None:
        return prefix.exe, dos_path(prefix.exe)
    folder, name = place
    target = prefix.drive_c / folder
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy(prefix.exe, target / name)
    return target / name, "C:\\" + folder.replace("/", "\\") + "\\" + name


PLAIN = ("quelt", "queltmap95.exe")
BLANKS = ("Program Files/Quelt Map 95", "queltmap95.exe")
MOVED = ("moved/elsewhere", "qm95.exe")

# exe: where the exe that runs is; first: an exe that ran /install-startup
# before it; delete_first: no Run key before the run.
INSTALL_TABLE = [
    {"name": "exact data: quoted path, one blank, /startup", "exe": PLAIN},
    {"name": "folder with blanks, stored whole inside the quotes", "exe": BLANKS,
     "args": ("/Install-Startup", "extra")},
    {"name": "run twice: one value, the last run's data", "exe": PLAIN, "first": BLANKS},
    {"name": "after moving the exe: the new path", "exe": MOVED, "first": PLAIN},
    {"name": "Run key deleted first: created again", "exe": PLAIN, "delete_first": True},
    {"name": "from the build tree: the path through drive Z:", "exe": None},
]


@pytest.mark.parametrize("case", INSTALL_TABLE, ids=ids(INSTALL_TABLE))
def test_install_startup(prefix, case):
    """The value QueltNFS95 under the Run key of the exe's registry view
    holds the quoted path and /startup; nothing is printed, other values
    stay."""
    assert not set(case) - {"name", "exe", "args", "first", "delete_first"}
    reset(prefix)
    exe, windows_path = _install(prefix, case["exe"])
    if "first" in case:
        prefix.tool("/install-startup", exe=_install(prefix, case["first"])[0], check=True)
    seen, expected = {}, {}
    if case.get("delete_first"):
        prefix.delete_key(prefix.run_key)
        seen["Run key before"] = prefix.reg_values(prefix.run_key)
        expected["Run key before"] = None
    others = {k: v for k, v in (prefix.reg_values(prefix.run_key) or {}).items()
              if k != "QueltNFS95"}
    seen["stdout, exit status"] = prefix.tool(*case.get("args", ("/install-startup",)), exe=exe)
    expected["stdout, exit status"] = (b"", 0)
    seen["Run values"] = prefix.reg_values(prefix.run_key)
    expected["Run values"] = dict(others, QueltNFS95=("REG_SZ", f'"{windows_path}" /startup'))
    assert seen == expected, prefix.report()


def test_install_startup_stored_command_runs_startup(prefix):
    """The stored command, run as Windows runs the Run values (a command
    line as it stands), starts the program with /startup as its argument."""
    reset(prefix)
    prefix.tool("/install-startup", exe=_install(prefix, BLANKS)[0], check=True)
    command = (prefix.reg_values(prefix.run_key) or {}).get("QueltNFS95", ("", ""))[1]
    write_mappings(prefix, ini("[Drive.T]", "Local=T:", r"Remote=\\QueltNFS\t\e"))
    prefix.write("run.bat", "@" + command + "\r\n")
    stdout, _ = prefix.run("cmd", ["/c", "C:\\QueltFixture\\run.bat"])
    assert (stdout, prefix.read_lines("provider.log")) == (
        out(r"T: mapped to \\QueltNFS\t\e"), [add_call("T:", r"\\QueltNFS\t\e")]), prefix.report()


def test_install_startup_wineboot_runs_it(prefix):
    """Wine's wineboot runs the Run values of both registry views, as 64-bit
    Windows does; the i686 exe stores its value in the 32-bit view, where
    Windows 95 has only one. wineboot starts the command and does not wait."""
    reset(prefix)
    prefix.tool("/install-startup", exe=_install(prefix, BLANKS)[0], check=True)
    write_mappings(prefix, ini("[Drive.W]", "Local=W:", r"Remote=\\QueltNFS\w\e"))
    prefix.run("wineboot", [], check=True)
    deadline = time.monotonic() + 60
    while not prefix.read_lines("provider.log") and time.monotonic() < deadline:
        time.sleep(0.2)
    assert prefix.read_lines("provider.log") == [add_call("W:", r"\\QueltNFS\w\e")], \
        prefix.report()


REMOTE = r"\\QueltNFS\server\export"
# (what, arguments, stdout, exit status), each on what the ones before left.
DEFAULT_STEPS = [
    ("/status before any mapping", ["/status"],
     out("QUELTVXD loaded, 0/26 mappings", "IFS scaffold: ready, registration: prepared"), 0),
    ("/map", ["/map", "R:", REMOTE], out("R: mapped to " + REMOTE), 0),
    ("/status R: shows the mapping", ["/status", "R:"],
     out("R: -> " + REMOTE, "server=server export=export"), 0),
    ("/status counts it", ["/status"],
     out("QUELTVXD loaded, 1/26 mappings", "IFS scaffold: ready, registration: prepared"), 0),
    ("/map R: again is refused", ["/map", "R:", REMOTE], out("map failed: 85"), 1),
    ("/unmap", ["/unmap", "R:"], out("R: unmapped"), 0),
    ("/status R: after /unmap", ["/status", "R:"], out("R: is not mapped in QUELTVXD"), 1),
    ("/unmap again", ["/unmap", "R:"], out("unmap failed: 2250"), 1),
]


def test_embedded_default(prefix):
    """No scripts, no settings: what README command 1 gives, step by step,
    and what crossed the two boundaries on the way."""
    reset(prefix, clear_profile=True)
    seen = [(what, *prefix.tool(*args)) for what, args, _, _ in DEFAULT_STEPS]
    seen += [("provider log", prefix.read_lines("provider.log")),
             ("driver log", prefix.read_lines("driver.log")),
             ("profile", prefix.reg_values(r"HKCU\Network\R"))]
    expected = [(what, stdout, status) for what, _, stdout, status in DEFAULT_STEPS]
    expected += [("provider log", [add_call("R:", REMOTE), add_call("R:", REMOTE, 85),
                                   cancel_call("R:"), cancel_call("R:", 2250)]),
                 ("driver log", status_request() + mapping_request("R:", True, 908)
                  + status_request() + mapping_request("R:", False)),
                 ("profile", None)]
    assert seen == expected, prefix.report()


def test_embedded_default_sample_mappings(prefix):
    """/startup from the example mappings.ini that scripts/run.sh writes."""
    reset(prefix)
    write_mappings(prefix, SAMPLE_MAPPINGS.encode("ascii"))
    seen = [prefix.tool("/startup"), prefix.tool("/status", "Q:")]
    assert seen == [(out(r"Q: mapped to \\QueltNFS\demo\export"), 0),
                    (out(r"Q: -> \\QueltNFS\demo\export", "server=demo export=export"), 0)], \
        prefix.report()
