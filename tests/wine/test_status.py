"""/status and /status R: against the driver fixture in Wine's winedevice."""

import struct

import pytest

from case_support import (check_case, connections, ids, mapping_request, out, reset,
                          status_request)

NOT_LOADED = out("QUELTVXD not loaded")


def hexed(data):
    return data.hex() if data else "-"


def status_answer(ok, data):
    return f"status {1 if ok else 0} {hexed(data)}"


def mapping_answer(ok, name, data):
    key = "*" if name is None else hexed(name.encode("cp1252"))
    return f"mapping {1 if ok else 0} {key} {hexed(data)}"


def status_record(unused, count, total, flags):
    return struct.pack("<4I", unused, count, total, flags)


def field(text, span):
    data = text.encode("cp1252")
    assert len(data) < span
    return data.ljust(span, b"\0")


def mapping_record(local, remote, server, export, head=bytes(8)):
    record = head + field(local, 64) + field(remote, 448) + field(server, 128) + field(export, 260)
    assert len(record) == 908
    return record


LONG_NAME = "".join(chr(ord("A") + i % 26) for i in range(70))

STATUS_TABLE = [
    {"name": "no script: the count of the provider's connections",
     "table": connections(("R:", r"\\QueltNFS\a\b"), ("F:", r"\\QueltNFS\c\d")),
     "args": ["/status"],
     "out": out("QUELTVXD loaded, 2/26 mappings", "IFS scaffold: ready, registration: prepared"),
     "status": 0, "driver_log": status_request()},
    {"name": "word 0 unread, counts at 4 and 8, all 32 bits unsigned, bit 1 only",
     "driver": [status_answer(True, status_record(0xFFFFFFFF, 5, 0xFFFFFFFF, 0xFFFFFFFE))],
     "args": ["/STATUS"],
     "out": out("QUELTVXD loaded, 5/4294967295 mappings",
                "IFS scaffold: not ready, registration: prepared"),
     "status": 0, "driver_log": status_request()},
    {"name": "bit 0 only",
     "driver": [status_answer(True, status_record(0, 1, 2, 1))],
     "args": ["/status"],
     "out": out("QUELTVXD loaded, 1/2 mappings", "IFS scaffold: ready, registration: not prepared"),
     "status": 0},
    {"name": "short record: the unwritten rest reads as zero",
     "driver": [status_answer(True, struct.pack("<2I", 0xFFFFFFFF, 7)[:7])],
     "args": ["/status"],
     "out": out("QUELTVXD loaded, 7/0 mappings",
                "IFS scaffold: not ready, registration: not prepared"),
     "status": 0, "driver_log": status_request(written=7)},
    {"name": "success with nothing written",
     "driver": [status_answer(True, b"")],
     "args": ["/status"],
     "out": out("QUELTVXD loaded, 0/0 mappings",
                "IFS scaffold: not ready, registration: not prepared"),
     "status": 0, "driver_log": status_request(written=0)},
    {"name": "driver answers FALSE",
     "driver": [status_answer(False, b"")],
     "args": ["/status"],
     "out": out("QUELTVXD status query failed"), "status": 1,
     "driver_log": status_request(ok=False, written=0)},

    {"name": "drive: no script, the provider's connection; server and export from its name",
     "table": connections(("F:", r"\\QueltNFS\x\y"), ("R:", r"\\QueltNFS\srv\exp\sub dir")),
     "args": ["/status", "r:"],
     "out": out(r"R: -> \\QueltNFS\srv\exp\sub dir", r"server=srv export=exp\sub dir"),
     "status": 0, "driver_log": mapping_request("r:", True, 908)},
    {"name": "drive: no script and no connection: FALSE",
     "args": ["/status", "R:"],
     "out": out("R: is not mapped in QUELTVXD"), "status": 1,
     "driver_log": mapping_request("R:", False)},
    {"name": "drive: the four strings at 8, 72, 520 and 648; bytes 0 to 7 unread",
     "driver": [mapping_answer(True, "R:", mapping_record(
         "Q:", r"\\QueltNFS\host\vol", "host.example", "/srv/vol", head=b"\xff" * 8))],
     "args": ["/Status", "R:", "extra"],
     "out": out(r"Q: -> \\QueltNFS\host\vol", "server=host.example export=/srv/vol"),
     "status": 0, "driver_log": mapping_request("R:", True, 908)},
    {"name": "drive: longest strings that end inside their fields",
     "driver": [mapping_answer(True, None, mapping_record(
         "L" * 63, "R" * 447, "S" * 127, "E" * 259))],
     "args": ["/status", "R:"],
     "out": out("L" * 63 + " -> " + "R" * 447, "server=" + "S" * 127 + " export=" + "E" * 259),
     "status": 0},
    {"name": "drive: unterminated record: each string runs to the record's end, no further",
     "driver": [mapping_answer(True, None, b"A" * 908)],
     "args": ["/status", "R:"],
     "out": out("A" * 900 + " -> " + "A" * 836, "server=" + "A" * 388 + " export=" + "A" * 260),
     "status": 0},
    {"name": "drive: success with nothing written prints four empty strings",
     "driver": [mapping_answer(True, None, b"")],
     "args": ["/status", "R:"],
     "out": out(" -> ", "server= export="), "status": 0,
     "driver_log": mapping_request("R:", True, 0)},
    {"name": "drive: FALSE",
     "driver": [mapping_answer(False, None, b"")],
     "args": ["/status", "R:"],
     "out": out("R: is not mapped in QUELTVXD"), "status": 1},
    {"name": "drive: 70 characters: the driver sees 63 and a zero, the line all 70",
     "driver": [mapping_answer(False, None, b"")],
     "args": ["/status", LONG_NAME],
     "out": out(LONG_NAME + " is not mapped in QUELTVXD"), "status": 1,
     "driver_log": mapping_request(LONG_NAME, False)},
    {"name": "drive: the scripted name is the 63-character cut",
     "driver": [mapping_answer(True, LONG_NAME[:63], mapping_record("cut", "", "", ""))],
     "args": ["/status", LONG_NAME],
     "out": out("cut -> ", "server= export="), "status": 0},
    {"name": "drive: empty name sends 64 zero bytes",
     "args": ["/status", ""],
     "out": out(" is not mapped in QUELTVXD"), "status": 1,
     "driver_log": mapping_request("", False)},
    {"name": "drive: * and ? reach the driver unchanged",
     "cwd": "wild", "files": ["a1", "a2"],
     "driver": [mapping_answer(False, None, b"")],
     "args": ["/status", "a?*"],
     "out": out("a?* is not mapped in QUELTVXD"), "status": 1,
     "driver_log": mapping_request("a?*", False)},
]


@pytest.mark.parametrize("case", STATUS_TABLE, ids=ids(STATUS_TABLE))
def test_status(prefix, case):
    check_case(prefix, case)


def test_status_driver_stopped_then_started(prefix):
    """`net stop` unloads the driver: its device is gone for both forms,
    and nothing is opened; started again, it answers."""
    reset(prefix)
    seen, expected = {}, {}
    try:
        seen["net stop"], expected["net stop"] = prefix.net("stop"), 0
        for args in (["/status"], ["/status", "R:"]):
            prefix.file("driver.log").unlink(missing_ok=True)
            stdout, status = prefix.tool(*args)
            # (its "unload" line may land late)
            opened = [line for line in prefix.read_lines("driver.log") if line != "unload"]
            seen[str(args)] = (stdout, status, opened)
            expected[str(args)] = (NOT_LOADED, 1, [])
    finally:
        prefix.net("start", check=True)
    reset(prefix)
    seen["started again"] = prefix.tool("/status")
    expected["started again"] = (out("QUELTVXD loaded, 0/26 mappings",
                                     "IFS scaffold: ready, registration: prepared"), 0)
    assert seen == expected, prefix.report()
