"""Wine prefixes with the two fixtures installed, and the runs in them.

Every prefix is a wow64 prefix: 64-bit and 32-bit programs run in it. The
provider DLL is registered with Wine's router as "QueltNFS95" and installed
as on 64-bit Windows: the x86_64 build in system32 and the i686 build in
syswow64, where file-system redirection sends 32-bit processes; a test's
prefix has only the build that its exe loads, scripts/run.sh's both. The
driver is an automatically started kernel service of wine64's winedevice;
the 32-bit tool reaches it through its device like any other program. Wine
tells every program named queltmap95.exe that it runs on Windows 95. The
fixtures' state lives in C:\\QueltFixture.

The tests' prefixes (lanes) are fresh copies of one base prefix per build
tree, made by wineboot for the Wine build that runs them. scripts/run.sh has
a prefix of its own, made by its own wineboot and kept between runs.

All programs start through wine64's loader, which hands 32-bit executables
to the 32-bit one: /usr/bin/wine would start the 32-bit loader first, even
for a 64-bit program, and where the CPU is emulated that costs seconds.

  wine_prefix.py tool FIXTURES PREFIX [--x86_64] [ARGUMENT...]
  wine_prefix.py stop FOLDER

`tool` runs the i686 exe (or the x86_64 one) with the arguments in the
current folder, in PREFIX, made as needed with an example mappings.ini
(scripts/run.sh). `stop` ends the wineservers of the prefixes in FOLDER.
"""

import contextlib
import fcntl
import glob
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile

PROVIDER_KEY = r"HKLM\System\CurrentControlSet\Services\QueltNFS95\NetworkProvider"
ORDER_KEY = r"HKLM\System\CurrentControlSet\Control\NetworkProvider\Order"
DRIVER_SERVICE = "QueltVxd"
PROVIDER_DLL = "queltnp.dll"
# A 32-bit program's HKLM\Software is the registry's 32-bit view.
RUN_KEYS = {
    "i686": r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run",
    "x86_64": r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run",
}
ARCHES = tuple(RUN_KEYS)
# Where each build's provider goes: the system folder of its processes.
PROVIDER_FOLDERS = {"i686": "syswow64", "x86_64": "system32"}
# What `reg` prints, and exit status 1, for a key that does not exist.
NO_KEY = "reg: Unable to find the specified registry key\n"
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
# Not /usr/bin/wineserver: Debian's wrapper puts -p0 before our options.
WINESERVER = "/usr/lib/wine/wineserver64"
# A server ends this many seconds after its last program, so that none
# outlives a test run that was killed.
SERVER_SECONDS = 30

# An example for /startup in the prefix that scripts/run.sh uses.
SAMPLE_MAPPINGS = (
    "; Drive connections that queltmap95 /startup re-creates.\r\n"
    "[Drive.Q]\r\n"
    "Local=Q:\r\n"
    "Remote=\\\\QueltNFS\\demo\\export\r\n"
)


def console_text(data):
    """A Wine console program's stdout as text: its bytes as they are, and
    CR LF as a line feed."""
    return data.decode("latin-1").replace("\r\n", "\n")


def dos_path(path):
    """The Windows name of a Unix path, through drive Z: (the root)."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def wine_environment(prefix):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    # A UTF-8 locale lets any character through the command line; Wine
    # still gives the programs code page 1252 for it. Wine's own errors
    # alone go to stderr, for the failure reports. qemu-i386, where it runs
    # the 32-bit loader, keeps its own guest address space (all 4 GB), in
    # which the preloader reserves Wine's ranges; a smaller one
    # (QEMU_RESERVED_VA) makes the preloader warn and a start slower.
    env.update(WINEPREFIX=str(pathlib.Path(prefix).absolute()), WINEDEBUG="-all,err+all",
               WINELOADER=WINE64, WINESERVER=WINESERVER, WINEDLLOVERRIDES="mscoree,mshtml=",
               LC_ALL="C.UTF-8")
    return env


def wine_version():
    return subprocess.run([WINE64, "--version"], capture_output=True, text=True).stdout


def wine32_starts():
    """Whether the 32-bit loader runs here: after a restart, a kernel that
    runs no 32-bit code refuses it until qemu-i386 is registered again."""
    try:
        return subprocess.run([WINE32, "--version"], env=wine_environment("/nonexistent"),
                              capture_output=True, timeout=120).returncode == 0
    except OSError:
        return False


def quiet(command, env, timeout=300, check=True):
    """A Wine command whose output is of no interest; its exit status. Its
    stderr goes to a file, not a pipe: a wineserver it starts would hold a
    pipe open."""
    with tempfile.TemporaryFile() as errors:
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=errors, timeout=timeout)
        if check and done.returncode != 0:
            errors.seek(0)
            raise RuntimeError(f"{' '.join(command)} exited with {done.returncode}:\n"
                               + errors.read().decode("utf-8", "replace"))
    return done.returncode


def stop_server(path):
    env = wine_environment(path)
    quiet([WINESERVER, "-k"], env, check=False)
    quiet([WINESERVER, "-w"], env, check=False)


def registry_text(fixtures):
    def text(value):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'

    # REGEDIT4 writes REG_EXPAND_SZ as hex(2): its ANSI bytes and the NUL.
    provider_path = "%SystemRoot%\\System32\\" + PROVIDER_DLL
    expand = "hex(2):" + ",".join(f"{b:02x}" for b in provider_path.encode("ascii") + b"\0")
    return "\r\n".join([
        "REGEDIT4",
        "",
        "[" + ORDER_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") + "]",
        '"ProviderOrder"="QueltNFS95"',
        "",
        "[" + PROVIDER_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") + "]",
        '"Name"="QueltNFS95"',
        '"ProviderPath"=' + expand,
        "",
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + DRIVER_SERVICE + "]",
        '"Type"=dword:00000001',
        '"Start"=dword:00000002',
        '"ErrorControl"=dword:00000001',
        '"ImagePath"=' + text(dos_path(fixtures["driver"])),
        "",
        # What Wine tells a program of this name when it asks for the
        # Windows version.
        "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\queltmap95.exe]",
        '"Version"="win95"',
        "",
        # No display driver: every program here is a console program, and
        # Wine 10's Wayland driver prints an error of its own where no
        # desktop session runs (XDG_RUNTIME_DIR unset: ssh, a root shell, CI).
        "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]",
        '"Graphics"="null"',
        "",
        "",
    ])


@contextlib.contextmanager
def making(path):
    """Holds the lock of the prefix at `path` (PATH.lock beside it) while
    another process may make it too."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path.with_name(path.name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def boot(path, fixtures):
    """A new prefix at `path` with the fixtures' registry, made under
    another name (PATH.XXXXXX.new) and renamed into place when complete, so
    that a run killed half-way leaves nothing that looks made. The caller
    holds making(path): what such runs left is removed first."""
    path = pathlib.Path(path)
    for left in path.parent.glob(glob.escape(path.name) + ".*.new"):
        stop_server(left)
        shutil.rmtree(left)
    work = pathlib.Path(tempfile.mkdtemp(prefix=path.name + ".", suffix=".new", dir=path.parent))
    env = wine_environment(work)
    # wineboot runs 32-bit set-up steps too, so it needs the 32-bit loader.
    quiet([WINE64, "wineboot", "--init"], env, timeout=1200)
    (work / "quelt-fixtures.reg").write_bytes(registry_text(fixtures).encode())
    quiet([WINE64, "reg", "import", dos_path(work / "quelt-fixtures.reg")], env)
    (work / "wine-version").write_text(wine_version())
    quiet([WINESERVER, "-w"], env)
    if path.exists():
        stop_server(path)
        shutil.rmtree(path)
    os.rename(work, path)


def made(path, fixtures):
    """Whether boot made `path` whole, for these fixtures and the Wine build
    installed now."""
    try:
        return ((path / "wine-version").read_text() == wine_version() and
                (path / "quelt-fixtures.reg").read_bytes() == registry_text(fixtures).encode())
    except OSError:
        return False


def _link_or_copy(source, target):
    """Programs and DLLs, almost all of a prefix's bytes and never written
    by the Wine build that made the base, are hard links to the base's; the
    rest is copied (Wine rewrites files such as win.ini in place)."""
    if pathlib.Path(source).suffix.lower() in (".dll", ".exe"):
        try:
            os.link(source, target)
            return
        except OSError:
            pass
    shutil.copy2(source, target)


class Prefix:
    """A prefix at `path` whose tool is the `arch` build ("i686" or
    "x86_64") of FIXTURES, the fixtures.json that the x86_64 build writes."""

    def __init__(self, fixtures_file, path, arch):
        self.fixtures = json.loads(pathlib.Path(fixtures_file).read_text())
        self.base = pathlib.Path(fixtures_file).resolve().parent / "prefixes" / "base"
        self.path = pathlib.Path(path).resolve()
        self.arch = arch
        self.exe = self.fixtures[arch]["exe"]
        self.run_key = RUN_KEYS[arch]
        self.drive_c = self.path / "drive_c"
        self.state = self.drive_c / "QueltFixture"
        self.env = wine_environment(self.path)
        # Each program run since the test began: what, its exit status and
        # its stderr (see report).
        self.runs = []

    # Setting up ------------------------------------------------------------

    def _base_ready(self):
        """The base, made again when the Wine build or the fixtures' paths
        changed: a newer Wine would update the prefix in place, through the
        lanes' hard links, from every lane at once."""
        with making(self.base):
            if not made(self.base, self.fixtures):
                boot(self.base, self.fixtures)

    def make_lane(self):
        """A fresh copy of the base with the provider build that the exe
        loads, and no file of the other build tree."""
        self._base_ready()
        if self.path.exists():
            stop_server(self.path)
            shutil.rmtree(self.path)
        shutil.copytree(self.base, self.path, symlinks=True, copy_function=_link_or_copy)
        self._install_providers([self.arch])
        self.state.mkdir()

    def make_own(self):
        """This prefix by a wineboot of its own, sharing no file with any
        other, with both provider builds; kept while it fits the fixtures
        and the Wine build. Another run of scripts/run.sh waits for it."""
        with making(self.path):
            if not made(self.path, self.fixtures):
                boot(self.path, self.fixtures)
            self._install_providers(ARCHES)
            self.state.mkdir(exist_ok=True)
            mappings = self.drive_c / "windows" / "QUELT95" / "mappings.ini"
            if not mappings.exists():
                mappings.parent.mkdir(parents=True, exist_ok=True)
                mappings.write_bytes(SAMPLE_MAPPINGS.encode("ascii"))

    def _install_providers(self, arches):
        """The provider builds of `arches` where their processes' system
        folder is; a new file each time, never written through a link into
        the base."""
        for arch in arches:
            data = pathlib.Path(self.fixtures[arch]["provider"]).read_bytes()
            target = self.drive_c / "windows" / PROVIDER_FOLDERS[arch] / PROVIDER_DLL
            if not target.exists() or target.read_bytes() != data:
                handle, work = tempfile.mkstemp(suffix=".new", dir=target.parent)
                with os.fdopen(handle, "wb") as file:
                    file.write(data)
                os.replace(work, target)

    # The server ------------------------------------------------------------

    def start_server(self):
        """One wineserver for the runs to come, detached from our streams:
        a server that inherits a pipe keeps it open and capturing output
        hangs. The first program starts services.exe, which loads the
        driver; it is traced, and the trace shown should it fail."""
        stop_server(self.path)
        quiet([WINESERVER, f"-p{SERVER_SECONDS}"], self.env)
        env = dict(self.env, WINEDEBUG="+process,+server")
        with tempfile.TemporaryFile() as trace:
            done = subprocess.run([WINE64, "reg", "query", ORDER_KEY], env=env,
                                  stdin=subprocess.DEVNULL, stdout=trace, stderr=trace,
                                  timeout=300)
            if done.returncode != 0:
                trace.seek(0)
                raise RuntimeError(f"the first program in a new wineserver exited with "
                                   f"{done.returncode}; its output and trace:\n"
                                   + trace.read().decode("utf-8", "replace"))

    def stop_server(self):
        stop_server(self.path)

    # Runs ------------------------------------------------------------------

    def _run(self, exe, args, cwd=None):
        """Runs a program, kept in the record of runs; the CompletedProcess
        with its stdout and stderr as bytes."""
        done = subprocess.run([WINE64, str(exe)] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, cwd=cwd, timeout=120)
        stderr = done.stderr.decode("utf-8", "replace").rstrip()
        self.runs.append(f"exit status {done.returncode}: {shlex.join(map(str, done.args[1:]))}"
                         + "".join("\n    " + line for line in stderr.splitlines()))
        return done

    def _failed(self, done):
        """The failure of the last program run, with all it wrote."""
        return RuntimeError(f"{self.runs[-1]}\n  its stdout:\n"
                            + console_text(done.stdout))

    def run(self, exe, args, cwd=None, check=False):
        """Runs a program; its stdout bytes and exit status. Its stderr,
        where Wine writes its own errors, is not compared: the failure
        report shows it (report). With `check`, a set-up or restoring step,
        any exit status but 0 fails at once with the program's output."""
        done = self._run(exe, args, cwd=cwd)
        if check and done.returncode != 0:
            raise self._failed(done)
        return done.stdout, done.returncode

    def tool(self, *args, exe=None, cwd=None, check=False):
        return self.run(exe or self.exe, args, cwd=cwd, check=check)

    def reg(self, *args, check=False):
        """`wine reg` with arguments; its stdout as text and its exit status."""
        out, status = self.run("reg", args, check=check)
        return console_text(out), status

    def _reg_on_key(self, *args):
        """`wine reg` with arguments about one key: its stdout as text, or
        None when it says that the key does not exist. Any other failure
        fails at once."""
        done = self._run("reg", args)
        out = console_text(done.stdout)
        if done.returncode == 0:
            return out
        if (done.returncode, out) == (1, NO_KEY):
            return None
        raise self._failed(done)

    def delete_key(self, key):
        """Deletes `key` and all under it, if it exists."""
        self._reg_on_key("delete", key, "/f")

    def reg_values(self, key):
        """The values directly under `key` as {name: (type, data)}, or None
        when `reg` says that the key does not exist."""
        out = self._reg_on_key("query", key)
        if out is None:
            return None
        values = {}
        for line in out.split("\n"):
            if not line.startswith("    "):
                continue
            parts = line[4:].split("    ", 2)
            if len(parts) == 3:
                values[parts[0]] = (parts[1], parts[2])
            elif len(parts) == 2:
                values[parts[0]] = (parts[1], "")
        return values

    def net(self, verb, service=DRIVER_SERVICE, check=False):
        return self.run("net", [verb, service], check=check)[1]

    def report(self):
        """The programs run since the test began, with their exit status
        and stderr, for a failure's message."""
        return "programs run, exit status, stderr:\n" + "\n".join(self.runs)

    # Fixture files -----------------------------------------------------------

    def file(self, name):
        return self.state / name

    def read_lines(self, name):
        path = self.file(name)
        if not path.exists():
            return []
        return path.read_bytes().decode("latin-1").splitlines()

    def write(self, name, text):
        self.file(name).write_bytes(text.encode("latin-1"))

    def clear_state(self):
        self.state.mkdir(exist_ok=True)
        for entry in self.state.iterdir():
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()


def run_tool(fixtures_file, path, args):
    """Replaces this process with a run of the tool in the caller's folder."""
    arch = "x86_64" if args[:1] == ["--x86_64"] else "i686"
    prefix = Prefix(fixtures_file, path, arch)
    prefix.make_own()
    args = args[1:] if arch == "x86_64" else args
    # The user sees what the tool writes, without Wine's own messages.
    os.execve(WINE64, [WINE64, prefix.exe] + args, dict(prefix.env, WINEDEBUG="-all"))


def main(argv):
    if len(argv) >= 3 and argv[0] == "tool":
        run_tool(argv[1], argv[2], argv[3:])
    if len(argv) == 2 and argv[0] == "stop":
        for path in sorted(pathlib.Path(argv[1]).glob("*")):
            if path.is_dir():
                stop_server(path)
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
