"""A Wine prefix with the two fixtures installed, and the runs in it.

Every prefix is a wow64 prefix: 64-bit and 32-bit programs run in it. It is
made once as a base, by wineboot, and copied (hard links for the files that
nothing writes) for each use. The provider DLL is registered with Wine's
router as "QueltNFS95" and installed twice, as on 64-bit Windows: the x86_64
build in system32 and the i686 build in syswow64, where file-system
redirection sends 32-bit processes. The driver is an automatically started
kernel service of wine64's winedevice; the 32-bit tool reaches it through
its device like any other program. The fixtures' state lives in
C:\\QueltFixture.

All programs start through wine64's loader, which hands 32-bit executables
to the 32-bit one: /usr/bin/wine would start the 32-bit loader first, even
for a 64-bit program, and where the CPU is emulated that costs seconds.
"""

import fcntl
import json
import os
import pathlib
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
WINE64 = "/usr/lib/wine/wine64"
QEMU_I386 = pathlib.Path("/proc/sys/fs/binfmt_misc/qemu-i386")

# An example for /startup in the prefix that scripts/run.sh uses.
SAMPLE_MAPPINGS = (
    "; Drive connections that queltmap95 /startup re-creates.\r\n"
    "[Drive.Q]\r\n"
    "Local=Q:\r\n"
    "Remote=\\\\QueltNFS\\demo\\export\r\n"
)


def dos_path(path):
    """The Windows name of a Unix path, through drive Z: (the root)."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def cpu_emulated():
    """Whether 32-bit programs run under qemu-i386 (a kernel that runs no
    32-bit code; scripts/bootstrap.sh registers it then)."""
    try:
        return QEMU_I386.read_text().startswith("enabled")
    except OSError:
        return False


def registry_text(fixtures, win95):
    def text(value):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'

    # REGEDIT4 writes REG_EXPAND_SZ as hex(2): its ANSI bytes and the NUL.
    provider_path = "%SystemRoot%\\System32\\" + PROVIDER_DLL
    expand = "hex(2):" + ",".join(f"{b:02x}" for b in provider_path.encode("ascii") + b"\0")
    lines = [
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
    ]
    if win95:
        # What Wine tells a program of this name when it asks for the
        # Windows version.
        lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\queltmap95.exe]",
                  '"Version"="win95"', ""]
    return "\r\n".join(lines + [""])


def _link_or_copy(source, target):
    """Programs and DLLs, almost all of a prefix's bytes and never written
    after wineboot, are hard links to the base's; the rest is copied (Wine
    rewrites files such as win.ini in place)."""
    if pathlib.Path(source).suffix.lower() in (".dll", ".exe"):
        try:
            os.link(source, target)
            return
        except OSError:
            pass
    shutil.copy2(source, target)


class Prefix:
    """A prefix at `path` whose tool is the `arch` build ("i686" or
    "x86_64"); `win95` makes Wine report Windows 95 to queltmap95.exe, by
    default to the i686 one only."""

    def __init__(self, fixtures_file, path, arch, win95=None):
        self.fixtures = json.loads(pathlib.Path(fixtures_file).read_text())
        self.base = pathlib.Path(fixtures_file).resolve().parent / "wine-base"
        self.path = pathlib.Path(path).resolve()
        self.arch = arch
        self.win95 = arch == "i686" if win95 is None else win95
        self.exe = self.fixtures[arch]["exe"]
        self.run_key = RUN_KEYS[arch]
        self.drive_c = self.path / "drive_c"
        self.state = self.drive_c / "QueltFixture"
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # A UTF-8 locale lets any character through the command line; Wine
        # still gives the programs code page 1252 for it. qemu-i386, where it
        # runs the 32-bit loader, starts it in seconds rather than a minute
        # with a guest address space just above 2 GB (2 GB is too small).
        self.env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all", WINELOADER=WINE64,
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8",
                        QEMU_RESERVED_VA="0x81000000")

    def _quiet(self, *command, check=True, timeout=300, env=None):
        """A Wine command whose output is of no interest; its exit status.
        Its stderr goes to a file, not a pipe: a wineserver it starts would
        hold a pipe open."""
        with tempfile.TemporaryFile() as errors:
            done = subprocess.run(list(command), env=env or self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=errors, timeout=timeout)
            if check and done.returncode != 0:
                errors.seek(0)
                raise RuntimeError(f"{' '.join(command)} exited with {done.returncode}:\n"
                                   + errors.read().decode("utf-8", "replace"))
        return done.returncode

    # The server ----------------------------------------------------------

    def start_server(self):
        """One persistent wineserver, detached from our streams: a server
        that inherits a pipe keeps it open and capturing output hangs. A
        server left running in this prefix is ended first. Once, in a run
        of every group on a machine whose CPU was busy emulating another
        prefix's 32-bit programs, the first program failed: it gets a second
        try, and the failure is printed."""
        for attempt in (1, 2):
            self.stop_server()
            self._quiet("wineserver", "-p")
            try:
                # The first program starts services.exe, which loads the driver.
                self._quiet(WINE64, "reg", "query", ORDER_KEY)
                return
            except RuntimeError as error:
                if attempt == 2:
                    raise
                print(f"the first program in a new wineserver failed, once: {error}")

    def stop_server(self):
        self._quiet("wineserver", "-k", check=False)
        self._quiet("wineserver", "-w", check=False)

    # Setting the prefix up -----------------------------------------------

    def _make_base(self):
        """The wow64 prefix that every prefix starts as. wineboot runs
        32-bit set-up steps too, so it needs the 32-bit loader. Lanes set up
        side by side make it once, under a lock."""
        with open(self.base.with_suffix(".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if (self.base / "system.reg").exists():
                return
            shutil.rmtree(self.base, ignore_errors=True)
            self.base.mkdir(parents=True)
            env = dict(self.env, WINEPREFIX=str(self.base))
            self._quiet(WINE64, "wineboot", "--init", timeout=1200, env=env)
            self._quiet("wineserver", "-w", env=env)

    def _copy_base(self):
        self._make_base()
        shutil.rmtree(self.path, ignore_errors=True)
        shutil.copytree(self.base, self.path, symlinks=True, copy_function=_link_or_copy)

    def _install_providers(self):
        """The provider builds where each process's system folder is; a new
        file each time, never written through a link into the base."""
        for arch, folder in (("x86_64", "system32"), ("i686", "syswow64")):
            source = pathlib.Path(self.fixtures[arch]["provider"])
            target = self.drive_c / "windows" / folder / PROVIDER_DLL
            if not target.exists() or target.read_bytes() != source.read_bytes():
                shutil.copy(source, target.with_suffix(".new"))
                os.replace(target.with_suffix(".new"), target)

    def prepare(self, force_import, sample_mappings=False):
        """Creates the prefix if needed and installs the fixtures. services.exe
        reads its service list when the server starts, so the server is
        restarted after an import."""
        stamp = self.path / "quelt-fixtures.reg"
        wanted = registry_text(self.fixtures, self.win95)
        if not (self.path / "system.reg").exists():
            self._copy_base()
        self._install_providers()
        if force_import or not stamp.exists() or stamp.read_text() != wanted:
            stamp.write_text(wanted)
            self._quiet(WINE64, "reg", "import", dos_path(stamp))
            self.stop_server()
        elif pathlib.Path(self.fixtures["driver"]).stat().st_mtime > stamp.stat().st_mtime:
            # Rebuilt: a server still running would keep the old driver.
            self.stop_server()
            stamp.touch()
        self.state.mkdir(exist_ok=True)
        mappings = self.drive_c / "windows" / "QUELT95" / "mappings.ini"
        if sample_mappings and not mappings.exists():
            mappings.parent.mkdir(parents=True, exist_ok=True)
            mappings.write_bytes(SAMPLE_MAPPINGS.encode("ascii"))

    # Runs ------------------------------------------------------------------

    def run(self, exe, args, cwd=None):
        """Runs a program; its stdout bytes and exit status. stderr carries
        Wine's own messages and is not compared."""
        done = subprocess.run([WINE64, str(exe)] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, cwd=cwd, timeout=120)
        return done.stdout, done.returncode

    def tool(self, *args, exe=None, cwd=None):
        return self.run(exe or self.exe, args, cwd=cwd)

    def exec_tool(self, args):
        """Replaces this process with a run of the tool in the caller's folder."""
        sys.stdout.flush()
        if self.arch == "i686" and cpu_emulated():
            print("queltmap95: the i686 exe runs under 32-bit Wine on an emulated CPU "
                  "(qemu-i386): about 4 s a run", file=sys.stderr, flush=True)
        os.execve(WINE64, [WINE64, self.exe] + list(args), self.env)

    def reg(self, *args):
        """`wine reg` with arguments; its stdout as text and its exit status."""
        out, status = self.run("reg", args)
        return out.decode("latin-1").replace("\r\n", "\n"), status

    def reg_values(self, key):
        """The values directly under `key` as {name: (type, data)}, or None
        when the key does not exist."""
        out, status = self.reg("query", key)
        if status != 0:
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

    def net(self, verb, service=DRIVER_SERVICE):
        return self._quiet(WINE64, "net", verb, service, check=False)

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
