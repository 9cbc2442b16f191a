"""The command line, /map and /unmap, through Wine's router to the provider."""

import pytest

from case_support import (USAGE, add_call, cancel_call, check_case, connections, ids, out,
                          profile, reset, settings)
from wine_prefix import ORDER_KEY, PROVIDER_KEY

REMOTE = r"\\QueltNFS\server\export"

# Runs that select no command: the usage text and 2, and nothing reaches the
# provider or the driver.
NO_COMMAND = [
    [],
    ["/help"],
    [""],
    ["map", "R:", REMOTE],
    ["-map", "R:", REMOTE],
    ["/ma", "R:", REMOTE],
    ["/mapx", "R:", REMOTE],
    ["/map "],
    ["/map"],
    ["/map", "R:"],
    ["/MAP", "R:"],
    ["/unmap"],
    ["/UnMap"],
    ["/statu"],
    ["/statuses"],
    ["/start"],
    ["/startups"],
    ["/install"],
    ["/install_startup"],
    ["/install-startupx"],
    ["R:", "/map", REMOTE],
    ["R:", "/status"],
    # The soft hyphen (below) is ignored, not taken for a hyphen.
    ["/installstartup"],
    ["/install\u00adstartup"],
    # Characters that Wine's locale comparison does not ignore.
    ["/m\u0430p", "R:", REMOTE],  # Cyrillic a: not in code page 1252, arrives as "?"
    ["/map\x7f", "R:", REMOTE],
    ["/map\x01", "R:", REMOTE],
]

USAGE_TABLE = [
    {"name": "no command: " + (repr(args) if args else "no arguments"), "args": args,
     "out": USAGE, "status": 2, "provider_log": [], "driver_log": []}
    for args in NO_COMMAND
] + [
    # Wine compares by the locale's word sort, which gives the soft hyphen
    # (0xAD in code page 1252) no weight: these select /map.
    {"name": "soft hyphen " + repr(word) + " selects /map", "args": [word, "R:", REMOTE],
     "out": out("R: mapped to " + REMOTE), "status": 0,
     "provider_log": [add_call("R:", REMOTE)]}
    for word in ("/map\u00ad", "/ma\u00adp", "\u00ad/MAP")
]


@pytest.mark.parametrize("case", USAGE_TABLE, ids=ids(USAGE_TABLE))
def test_usage(prefix, case):
    check_case(prefix, case)


# Accepts every remote name, so that names of any form reach the provider.
ACCEPT_ALL = settings(AcceptPrefix="")

MAP_TABLE = [
    {"name": "success: line, provider call, remembered in the profile",
     "args": ["/map", "R:", REMOTE],
     "out": out("R: mapped to " + REMOTE), "status": 0,
     "provider_log": [add_call("R:", REMOTE)],
     "profile": {"R": profile(REMOTE)},
     "connections_after": ["R:\t" + REMOTE]},
    {"name": "lower-case local name and /MAP: passed and echoed as typed",
     "args": ["/MAP", "r:", REMOTE],
     "out": out("r: mapped to " + REMOTE), "status": 0,
     "provider_log": [add_call("r:", REMOTE)], "profile": {"r": profile(REMOTE)}},
    {"name": "/Map with arguments after the remote name ignores them",
     "args": ["/Map", "S:", REMOTE, "more", "R:"],
     "out": out("S: mapped to " + REMOTE), "status": 0,
     "provider_log": [add_call("S:", REMOTE)]},
    {"name": "remote name refused: the provider's default code",
     "args": ["/map", "R:", r"\\other\server\export"],
     "out": out("map failed: 67"), "status": 1,
     "provider_log": [add_call("R:", r"\\other\server\export", 67)],
     "profile": {"R": None}, "connections_after": []},
    {"name": "empty remote name reaches the provider as empty",
     "args": ["/map", "R:", ""],
     "out": out("map failed: 67"), "status": 1,
     "provider_log": [add_call("R:", "", 67)]},
    {"name": "code 2^31 + 1 printed unsigned",
     "settings": settings(RejectCode=2147483649),
     "args": ["/map", "R:", r"\\other\s\e"],
     "out": out("map failed: 2147483649"), "status": 1,
     "provider_log": [add_call("R:", r"\\other\s\e", 2147483649)]},
    {"name": "code 2^32 - 1 printed unsigned",
     "settings": settings(RejectCode=4294967295),
     "args": ["/map", "R:", r"\\other\s\e"],
     "out": out("map failed: 4294967295"), "status": 1},
    {"name": "local name in use: one add, nothing cancelled first",
     "table": connections(("R:", r"\\QueltNFS\old\one")),
     "args": ["/map", "R:", REMOTE],
     "out": out("map failed: 85"), "status": 1,
     "provider_log": [add_call("R:", REMOTE, 85)],
     "connections_after": ["R:\t" + r"\\QueltNFS\old\one"]},
    {"name": "local name in use, provider code 2^31",
     "settings": settings(AlreadyConnectedCode=2147483648),
     "table": connections(("R:", REMOTE)),
     "args": ["/map", "R:", REMOTE],
     "out": out("map failed: 2147483648"), "status": 1},
    {"name": "* and ? in the remote name reach the provider unchanged",
     "cwd": "wild", "files": ["a1", "a2", "b1"],
     "args": ["/map", "R:", r"\\QueltNFS\srv\*?"],
     "out": out("R: mapped to " + r"\\QueltNFS\srv\*?"), "status": 0,
     "provider_log": [add_call("R:", r"\\QueltNFS\srv\*?")]},
    {"name": "operands that would match files in the folder are not expanded",
     "settings": ACCEPT_ALL, "cwd": "wild", "files": ["a1", "a2", "b1"],
     "args": ["/map", "*", "a?"],
     "out": out("* mapped to a?"), "status": 0,
     "provider_log": [add_call("*", "a?")]},
] + [
    {"name": f"name {name!r} passes the router unchanged", "settings": ACCEPT_ALL,
     "args": ["/map", name, name], "out": out(f"{name} mapped to {name}"), "status": 0,
     "provider_log": [add_call(name, name)]}
    for name in ["", " R: ", "lpt1", "?:", "\u00e9:", r"\\a\b\c", "x y"]
]


@pytest.mark.parametrize("case", MAP_TABLE, ids=ids(MAP_TABLE))
def test_map(prefix, case):
    check_case(prefix, case)


def test_map_process_is_told_windows_95_and_the_version(prefix):
    """The router loads the provider into the tool's process, where it logs
    the Windows version that Wine tells the process and the exe's version
    resource as Wine's GetFileVersionInfoA and VerQueryValueA read it."""
    version = prefix.fixtures["version"]
    reset(prefix)
    prefix.tool("/map", "R:", REMOTE, check=True)
    assert prefix.read_lines("host.log") == [
        f'windows 4.0.950 platform 1 file {version}.0 "{version}"'], prefix.report()


@pytest.mark.parametrize("key, value_name, value, code", [
    pytest.param(ORDER_KEY, "ProviderOrder", "", 1222,
                 id="no provider loaded: the router's 1222"),
    pytest.param(PROVIDER_KEY, "Name", "queltnfs95", 1204,
                 id="provider names compare with case: 1204"),
])
def test_map_router_setting(prefix, key, value_name, value, code):
    """The router's own codes, printed as it returns them, with one of its
    settings changed for this run alone."""
    reset(prefix)
    try:
        prefix.reg("add", key, "/v", value_name, "/t", "REG_SZ", "/d", value, "/f", check=True)
        stdout, status = prefix.tool("/map", "R:", REMOTE)
    finally:
        prefix.reg("add", ORDER_KEY, "/v", "ProviderOrder", "/t", "REG_SZ", "/d",
                   "QueltNFS95", "/f", check=True)
        prefix.reg("add", PROVIDER_KEY, "/v", "Name", "/t", "REG_SZ", "/d", "QueltNFS95", "/f",
                   check=True)
    assert (stdout, status, prefix.read_lines("provider.log")) == (
        out(f"map failed: {code}"), 1, []), prefix.report()


UNMAP_TABLE = [
    {"name": "success: forced cancel, profile entry removed",
     "before": [["/map", "R:", REMOTE]],
     "args": ["/unmap", "R:"],
     "out": out("R: unmapped"), "status": 0,
     "provider_log": [cancel_call("R:")],
     "profile": {"R": None}, "connections_after": []},
    {"name": "/UNMAP with a lower-case name and an extra argument",
     "before": [["/map", "R:", REMOTE]],
     "args": ["/UNMAP", "r:", "extra"],
     "out": out("r: unmapped"), "status": 0,
     "provider_log": [cancel_call("r:")], "profile": {"R": None}},
    {"name": "not connected: the provider's 2250",
     "args": ["/unmap", "R:"],
     "out": out("unmap failed: 2250"), "status": 1,
     "provider_log": [cancel_call("R:", 2250)]},
    {"name": "not connected, provider code 2^31 + 2 printed unsigned",
     "settings": settings(NotConnectedCode=2147483650),
     "args": ["/unmap", "R:"],
     "out": out("unmap failed: 2147483650"), "status": 1,
     "provider_log": [cancel_call("R:", 2147483650)]},
    {"name": "failed cancel leaves the profile entry (Wine removes it only on success)",
     "before": [["/map", "R:", REMOTE]], "forget": True,
     "args": ["/unmap", "R:"],
     "out": out("unmap failed: 2250"), "status": 1,
     "provider_log": [cancel_call("R:", 2250)], "profile": {"R": profile(REMOTE)}},
    {"name": "by remote name: passed unchanged; no colon, so Wine keeps the profile entry",
     "before": [["/map", "R:", REMOTE]],
     "args": ["/unmap", REMOTE],
     "out": out(REMOTE + " unmapped"), "status": 0,
     "provider_log": [cancel_call(REMOTE)], "profile": {"R": profile(REMOTE)},
     "connections_after": []},
    {"name": "empty name reaches the provider as empty",
     "args": ["/unmap", ""],
     "out": out("unmap failed: 2250"), "status": 1,
     "provider_log": [cancel_call("", 2250)]},
    {"name": "* and ? in the name are not expanded",
     "cwd": "wild", "files": ["a1", "a2"],
     "table": connections(("a?", r"\\QueltNFS\s\e")),
     "args": ["/unmap", "a?"],
     "out": out("a? unmapped"), "status": 0,
     "provider_log": [cancel_call("a?")]},
]


@pytest.mark.parametrize("case", UNMAP_TABLE, ids=ids(UNMAP_TABLE))
def test_unmap(prefix, case):
    check_case(prefix, case)
