"""A Wine prefix with the two fixtures installed, and the runs in it.

The provider DLL is registered with Wine's router as "QueltNFS95" and the
driver as an automatically started kernel service; both point into the build
tree through drive Z:. Their state lives in C:\\QueltFixture.
"""

import json
import os
import pathlib
import shutil
import subprocess

PROVIDER_KEY = r"HKLM\System\CurrentControlSet\Services\QueltNFS95\NetworkProvider"
ORDER_KEY = r"HKLM\System\CurrentControlSet\Control\NetworkProvider\Order"
DRIVER_SERVICE = "QueltVxd"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"

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


def registry_text(fixtures):
    def text(value):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'

    return "\r\n".join([
        "REGEDIT4",
        "",
        "[" + ORDER_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") + "]",
        '"ProviderOrder"="QueltNFS95"',
        "",
        "[" + PROVIDER_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") + "]",
        '"Name"="QueltNFS95"',
        '"ProviderPath"=' + text(dos_path(fixtures["provider"])),
        "",
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + DRIVER_SERVICE + "]",
        '"Type"=dword:00000001',
        '"Start"=dword:00000002',
        '"ErrorControl"=dword:00000001',
        '"ImagePath"=' + text(dos_path(fixtures["driver"])),
        "",
        "",
    ])


class Prefix:
    def __init__(self, fixtures_file, path):
        self.fixtures = json.loads(pathlib.Path(fixtures_file).read_text())
        self.path = pathlib.Path(path).resolve()
        self.drive_c = self.path / "drive_c"
        self.state = self.drive_c / "QueltFixture"
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # A UTF-8 locale lets any character through the command line; Wine
        # still gives the programs code page 1252 for it.
        self.env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")

    def _quiet(self, *command, check=True, timeout=300):
        """A Wine command whose output is of no interest; its exit status."""
        done = subprocess.run(list(command), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout)
        if check and done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} exited with {done.returncode}")
        return done.returncode

    # The server ----------------------------------------------------------

    def start_server(self):
        """One persistent wineserver, detached from our streams: a server
        that inherits a pipe keeps it open and capturing output hangs. A
        server left running in this prefix is ended first."""
        self.stop_server()
        self._quiet("wineserver", "-p")
        # The first program starts services.exe, which loads the driver.
        self._quiet("wine", "reg", "query", ORDER_KEY)

    def stop_server(self):
        self._quiet("wineserver", "-k", check=False)
        self._quiet("wineserver", "-w", check=False)

    # Setting the prefix up -----------------------------------------------

    def prepare(self, force_import, sample_mappings=False):
        """Creates the prefix if needed and installs the fixtures. services.exe
        reads its service list when the server starts, so the server is
        restarted after an import."""
        stamp = self.path / "quelt-fixtures.reg"
        wanted = registry_text(self.fixtures)
        if not (self.path / "system.reg").exists():
            self.path.mkdir(parents=True, exist_ok=True)
            self._quiet("wineboot", "--init", timeout=600)
            self._quiet("wineserver", "-w")
        if force_import or not stamp.exists() or stamp.read_text() != wanted:
            stamp.write_text(wanted)
            self._quiet("wine", "reg", "import", dos_path(stamp))
            self.stop_server()
        elif any(pathlib.Path(self.fixtures[name]).stat().st_mtime > stamp.stat().st_mtime
                 for name in ("provider", "driver")):
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
        done = subprocess.run(["wine", str(exe)] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, cwd=cwd, timeout=60)
        return done.stdout, done.returncode

    def tool(self, *args, exe=None, cwd=None):
        return self.run(exe or self.fixtures["exe"], args, cwd=cwd)

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
        return self._quiet("wine", "net", verb, service, check=False)

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
