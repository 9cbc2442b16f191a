"""/startup from a real mappings.ini through Wine's profile reader,
/install-startup read back from Wine's registry, and the embedded default
that scripts/run.sh gives a newcomer."""

import shutil
import time

from case_support import (add_call, cancel_call, connections, mapping_request, mappings_path,
                          out, profile, reset, run_table, status_request)
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


def startup_group(prefix, checks):
    run_table(prefix, checks, "startup", STARTUP_TABLE)


def _install(prefix, folder, name="queltmap95.exe"):
    """Puts a copy of the exe at C:\\<folder>\\<name>; its Windows path."""
    target = prefix.drive_c / folder
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy(prefix.exe, target / name)
    return "C:\\" + folder.replace("/", "\\") + "\\" + name


def _run_values(prefix):
    return prefix.reg_values(prefix.run_key)


def _install_case(prefix, checks, name, exe, expect_data, before=None, args=("/install-startup",)):
    with checks.case(f"install_startup: {name}"):
        reset(prefix)
        if before:
            before()
        others = {k: v for k, v in (_run_values(prefix) or {}).items() if k != "QueltNFS95"}
        stdout, status = prefix.tool(*args, exe=exe)
        checks.equal("stdout", stdout, b"")
        checks.equal("exit status", status, 0)
        values = _run_values(prefix) or {}
        checks.equal("Run value", values.get("QueltNFS95"), ("REG_SZ", expect_data))
        checks.equal("other Run values", {k: v for k, v in values.items() if k != "QueltNFS95"},
                     others)


def install_group(prefix, checks):
    plain = _install(prefix, "quelt")
    _install_case(prefix, checks, "exact data: quoted path, one blank, /startup", plain,
                  '"C:\\quelt\\queltmap95.exe" /startup')
    blanks = _install(prefix, "Program Files/Quelt Map 95")
    _install_case(prefix, checks, "folder with blanks, stored whole inside the quotes", blanks,
                  '"C:\\Program Files\\Quelt Map 95\\queltmap95.exe" /startup',
                  args=("/Install-Startup", "extra"))
    _install_case(prefix, checks, "run twice: one value, the last run's data", plain,
                  '"C:\\quelt\\queltmap95.exe" /startup',
                  before=lambda: prefix.tool("/install-startup", exe=blanks))
    moved = _install(prefix, "moved/elsewhere", "qm95.exe")
    _install_case(prefix, checks, "after moving the exe: the new path", moved,
                  '"C:\\moved\\elsewhere\\qm95.exe" /startup',
                  before=lambda: prefix.tool("/install-startup", exe=plain))
    _install_case(prefix, checks, "Run key deleted first: created again", plain,
                  '"C:\\quelt\\queltmap95.exe" /startup',
                  before=lambda: prefix.reg("delete", prefix.run_key, "/f"))
    with checks.case("install_startup: Run key deleted first: it is gone before the run"):
        prefix.reg("delete", prefix.run_key, "/f")
        checks.equal("Run key", _run_values(prefix), None)
        prefix.tool("/install-startup", exe=plain)
        checks.equal("Run key", _run_values(prefix),
                     {"QueltNFS95": ("REG_SZ", '"C:\\quelt\\queltmap95.exe" /startup')})
    _install_case(prefix, checks, "from the build tree: the path through drive Z:",
                  None, '"' + dos_path(prefix.exe) + '" /startup')

    # The stored command, run as Windows runs the Run values (a command line
    # as it stands), must start the program with /startup as its argument.
    with checks.case("install_startup: the stored command runs /startup"):
        reset(prefix)
        prefix.tool("/install-startup", exe=blanks)
        command = (_run_values(prefix) or {}).get("QueltNFS95", ("", ""))[1]
        mappings = mappings_path(prefix)
        mappings.parent.mkdir(parents=True, exist_ok=True)
        mappings.write_bytes(ini("[Drive.T]", "Local=T:", r"Remote=\\QueltNFS\t\e"))
        prefix.write("run.bat", "@" + command + "\r\n")
        stdout, status = prefix.run("cmd", ["/c", "C:\\QueltFixture\\run.bat"])
        checks.equal("stdout", stdout, out(r"T: mapped to \\QueltNFS\t\e"))
        checks.equal("provider log", prefix.read_lines("provider.log"),
                     [add_call("T:", r"\\QueltNFS\t\e")])

    # Wine's wineboot runs the Run values of both registry views, as 64-bit
    # Windows does; the i686 exe stores its value in the 32-bit view, where
    # Windows 95 has only one. wineboot starts the command and does not wait.
    with checks.case("install_startup: wineboot runs the stored command with /startup"):
        reset(prefix)
        prefix.tool("/install-startup", exe=blanks)
        mappings = mappings_path(prefix)
        mappings.parent.mkdir(parents=True, exist_ok=True)
        mappings.write_bytes(ini("[Drive.W]", "Local=W:", r"Remote=\\QueltNFS\w\e"))
        prefix.run("wineboot", [])
        deadline = time.monotonic() + 60
        while not prefix.read_lines("provider.log") and time.monotonic() < deadline:
            time.sleep(0.2)
        checks.equal("provider log", prefix.read_lines("provider.log"),
                     [add_call("W:", r"\\QueltNFS\w\e")])


def embedded_default(prefix, checks):
    """No scripts, no settings: what README command 1 gives. Each step
    works on what the ones before it left."""
    reset(prefix, clear_profile=True)
    remote = r"\\QueltNFS\server\export"
    steps = [
        ("/status before any mapping", ["/status"],
         out("QUELTVXD loaded, 0/26 mappings", "IFS scaffold: ready, registration: prepared"), 0),
        ("/map", ["/map", "R:", remote], out("R: mapped to " + remote), 0),
        ("/status R: shows the mapping", ["/status", "R:"],
         out("R: -> " + remote, "server=server export=export"), 0),
        ("/status counts it", ["/status"],
         out("QUELTVXD loaded, 1/26 mappings", "IFS scaffold: ready, registration: prepared"), 0),
        ("/map R: again is refused", ["/map", "R:", remote], out("map failed: 85"), 1),
        ("/unmap", ["/unmap", "R:"], out("R: unmapped"), 0),
        ("/status R: after /unmap", ["/status", "R:"], out("R: is not mapped in QUELTVXD"), 1),
        ("/unmap again", ["/unmap", "R:"], out("unmap failed: 2250"), 1),
    ]
    for name, args, expect_out, expect_status in steps:
        with checks.case(f"embedded_default: {name}"):
            stdout, status = prefix.tool(*args)
            checks.equal("stdout", stdout, expect_out)
            checks.equal("exit status", status, expect_status)
    with checks.case("embedded_default: what crossed the two boundaries"):
        checks.equal("provider log", prefix.read_lines("provider.log"), [
            add_call("R:", remote), add_call("R:", remote, 85), cancel_call("R:"),
            cancel_call("R:", 2250)])
        checks.equal("driver log", prefix.read_lines("driver.log"),
                     status_request() + mapping_request("R:", True, 908) + status_request()
                     + mapping_request("R:", False))
        checks.equal("profile", prefix.reg_values(r"HKCU\Network\R"), None)
    with checks.case("embedded_default: /startup from the sample mappings.ini"):
        reset(prefix)
        mappings = mappings_path(prefix)
        mappings.parent.mkdir(parents=True, exist_ok=True)
        mappings.write_bytes(SAMPLE_MAPPINGS.encode("ascii"))
        stdout, status = prefix.tool("/startup")
        checks.equal("stdout", stdout, out(r"Q: mapped to \\QueltNFS\demo\export"))
        checks.equal("exit status", status, 0)
        stdout, status = prefix.tool("/status", "Q:")
        checks.equal("/status Q:", stdout,
                     out(r"Q: -> \\QueltNFS\demo\export", "server=demo export=export"))
