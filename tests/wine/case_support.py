"""What the case tables share: expected texts, fixture log lines, and the one
way a row of a table is set up, run and checked."""

NETWORK_KEY = r"HKCU\Network"

USAGE_LINES = [
    "QueltMap95",
    "Usage:",
    "  QueltMap95 /map R: \\\\QueltNFS\\\\server\\\\export_path",
    "  QueltMap95 /unmap R:",
    "  QueltMap95 /status [R:]",
    "  QueltMap95 /startup",
    "  QueltMap95 /install-startup",
]


def out(*lines):
    """Standard output as Wine's console gives it: the C runtime's text mode
    ends every line with CR LF."""
    return b"".join(line.encode("cp1252") + b"\r\n" for line in lines)


USAGE = out(*USAGE_LINES)


def _quoted(text):
    """As the provider logs a string: printable ASCII, others \\uXXXX."""
    if text is None:
        return "NULL"
    return '"' + "".join(c if 0x20 <= ord(c) < 0x7f else f"\\u{ord(c):04X}" for c in text) + '"'


def add_call(local, remote, result=0):
    """The provider's log line for the request that every map makes."""
    return (f"NPAddConnection3(NULL, {{0, 1, 0, 0, {_quoted(local)}, {_quoted(remote)}, NULL, "
            f'"QueltNFS95"}}, NULL, NULL, 1) -> {result}')


def cancel_call(name, result=0):
    return f"NPCancelConnection({_quoted(name)}, 1) -> {result}"


def profile(remote):
    """What Wine's router remembers under HKCU\\Network\\<letter>."""
    return {
        "ConnectionType": ("REG_DWORD", "0x1"),
        "ProviderName": ("REG_SZ", "QueltNFS95"),
        "ProviderType": ("REG_DWORD", "0x0"),
        "RemotePath": ("REG_SZ", remote),
        "UserName": ("REG_SZ", ""),
    }


def status_request(ok=True, written=16):
    return ["create", f"ioctl code=2052 in=0 out=16 data=- -> {'ok' if ok else 'failed'} {written}"]


def mapping_request(name, ok, written=0):
    """The driver's log of one 0x802 request for `name` (cp1252 text): the
    64-byte record holds at most 63 characters and zero bytes after them."""
    record = name.encode("cp1252")[:63].ljust(64, b"\0")
    return ["create",
            f"ioctl code=2050 in=64 out=908 data={record.hex()} -> "
            f"{'ok' if ok else 'failed'} {written}"]


def settings(**values):
    """provider.ini text for the given [Provider] keys."""
    return "[Provider]\r\n" + "".join(f"{key}={value}\r\n" for key, value in values.items())


def connections(*pairs):
    """The provider's connection table holding these (local, remote) pairs."""
    return "".join(f"{local}\t{remote}\n" for local, remote in pairs)


def mappings_path(prefix):
    return prefix.drive_c / "windows" / "QUELT95" / "mappings.ini"


def write_mappings(prefix, data):
    mappings = mappings_path(prefix)
    mappings.parent.mkdir(parents=True, exist_ok=True)
    mappings.write_bytes(data)


def reset(prefix, clear_profile=False):
    """No fixture state, no mappings file, and on request no remembered
    connections."""
    prefix.clear_state()
    mappings_path(prefix).unlink(missing_ok=True)
    if clear_profile:
        prefix.delete_key(NETWORK_KEY)


# What a row of a table may hold (see check_case).
CASE_KEYS = {"name", "args", "before", "settings", "driver", "table", "forget", "mappings",
             "cwd", "files", "out", "status", "provider_log", "driver_log", "profile",
             "connections_after"}


def check_case(prefix, case):
    """Sets up, runs and checks one row of a table, a dict:

      name, args                    what is run (after `before`, each to exit 0)
      settings, driver, table       provider.ini, driver.cfg lines, connections
      forget                        the provider forgets its connections after `before`
      mappings                      bytes of mappings.ini (absent if None)
      cwd                           a folder under C:\\ holding `files`
      out, status                   expected stdout bytes and exit status
      provider_log, driver_log      expected lines (not checked when absent)
      profile                       {letter: values or None for no key}
      connections_after             the connection table afterwards

    A key of no other name fails the row: a misspelt one would check nothing.
    """
    assert not set(case) - CASE_KEYS, f"unknown keys {sorted(set(case) - CASE_KEYS)}"
    reset(prefix, clear_profile="profile" in case)
    if "settings" in case:
        prefix.write("provider.ini", case["settings"])
    if "driver" in case:
        prefix.write("driver.cfg", "".join(line + "\n" for line in case["driver"]))
    if "table" in case:
        prefix.write("connections.txt", case["table"])
    if case.get("mappings") is not None:
        write_mappings(prefix, case["mappings"])
    cwd = None
    if "cwd" in case:
        cwd = prefix.drive_c / case["cwd"]
        cwd.mkdir(parents=True, exist_ok=True)
        for name in case.get("files", []):
            (cwd / name).write_bytes(b"")
    for before in case.get("before", []):
        prefix.tool(*before, check=True)
    if case.get("forget"):
        prefix.file("connections.txt").unlink()
    # The logs show this run alone.
    for name in ("provider.log", "driver.log"):
        prefix.file(name).unlink(missing_ok=True)

    stdout, status = prefix.tool(*case["args"], cwd=cwd)

    # One comparison, so that a failure shows every difference at once.
    expected = {"stdout": case["out"], "exit status": case["status"]}
    seen = {"stdout": stdout, "exit status": status}
    for log in ("provider_log", "driver_log"):
        if log in case:
            expected[log] = case[log]
            seen[log] = prefix.read_lines(log.replace("_", "."))
    for letter, values in case.get("profile", {}).items():
        key = f"{NETWORK_KEY}\\{letter}"
        expected[key] = values
        seen[key] = prefix.reg_values(key)
    if "connections_after" in case:
        expected["connections"] = case["connections_after"]
        seen["connections"] = prefix.read_lines("connections.txt")
    assert seen == expected, prefix.report()


def ids(table):
    return [case["name"] for case in table]
