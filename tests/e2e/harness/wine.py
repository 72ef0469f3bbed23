"""A private Wine prefix for running the Windows program and its tests.

The prefix is created once in the build cache and reused: creating one costs
about ten seconds. Tests reset what they touch (the program's local data
directory, the drive letters they map) instead of making a new prefix.
"""
import fcntl
import getpass
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[3]
CACHE = Path(os.environ.get("TESMORA_CACHE", "/var/cache/tesmora-build"))
# Another build's program may be tested in place of dist/'s.
PROGRAM = Path(os.environ.get("TESMORA_TEST_EXE") or REPO / "dist" / "TesmoraBackup.exe")

# Drive types as Wine's drives registry key names them.
DRIVE_TYPES = {"removable": "floppy", "fixed": "hd", "network": "network", "cdrom": "cdrom"}


def windows_path(unix_path):
    """The Windows form of a Unix path through Wine's Z: drive."""
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


class WinePrefix:
    def __init__(self, prefix=None):
        self.prefix = Path(prefix or os.environ.get("TESMORA_WINEPREFIX", CACHE / "wine-prefix"))
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        self.env.pop("DISPLAY", None)

    # ---- the prefix itself ---------------------------------------------------
    def ensure(self):
        """Creates the prefix once, under a lock, and starts its wineserver."""
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        with open(self.prefix.parent / "wine-prefix.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not (self.prefix / "system.reg").exists() or not (self.prefix / ".tesmora-ready").exists():
                shutil.rmtree(self.prefix, ignore_errors=True)
                subprocess.run(["wineboot", "-i"], env=self.env, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
                subprocess.run(["wineserver", "-w"], env=self.env, check=True, timeout=300)
                (self.prefix / ".tesmora-ready").write_text("ready\n")
        return self

    def kill_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    # ---- running programs ----------------------------------------------------
    def run(self, program, *args, timeout=120, env=None):
        """Runs a Windows program and returns its CompletedProcess."""
        run_env = dict(self.env)
        run_env.update(env or {})
        return subprocess.run(["wine", str(program), *map(str, args)], env=run_env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run_program(self, *args, timeout=120):
        return self.run(PROGRAM, *args, timeout=timeout)

    def start(self, program, *args):
        """Starts a Windows program and returns its Popen without waiting."""
        return subprocess.Popen(["wine", str(program), *map(str, args)], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # ---- the program's folders -----------------------------------------------
    @property
    def local_app_data(self):
        return self.prefix / "drive_c" / "users" / getpass.getuser() / "AppData" / "Local"

    @property
    def local_data_dir(self):
        """What the program calls its local data directory, as a Unix path."""
        return self.local_app_data / "Tesmora" / "SiteBackup"

    def error_log(self):
        """errors.log of the program's local data directory as text, or ""."""
        log = self.local_data_dir / "errors.log"
        return log.read_bytes().decode("utf-8", "replace") if log.exists() else ""

    def reset_program_state(self):
        shutil.rmtree(self.local_app_data / "Tesmora", ignore_errors=True)

    # ---- drives ----------------------------------------------------------------
    def map_drive(self, letter, folder, serial=None, label=None, kind="fixed"):
        """Maps drive `letter` to a Unix folder with a volume serial (hex
        text), a label and a drive type. Wine reads the serial and the label
        from .windows-serial and .windows-label in the folder."""
        letter = letter.lower().rstrip(":")
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        if serial is not None:
            (folder / ".windows-serial").write_text(serial + "\n")
        if label is not None:
            (folder / ".windows-label").write_text(label + "\n")
        link = self.prefix / "dosdevices" / (letter + ":")
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(folder.resolve())
        self.reg_add(r"HKLM\Software\Wine\Drives", letter + ":", DRIVE_TYPES[kind])
        # A running wineserver keeps its view of the drives; the next program
        # must see this one.
        self.kill_server()

    def unmap_drive(self, letter):
        letter = letter.lower().rstrip(":")
        link = self.prefix / "dosdevices" / (letter + ":")
        if link.is_symlink() or link.exists():
            link.unlink()
        subprocess.run(["wine", "reg", "delete", r"HKLM\Software\Wine\Drives", "/v", letter + ":", "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        self.kill_server()

    def reg_add(self, key, name, value, kind="REG_SZ"):
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def reg_delete(self, key, name=None):
        """Removes the value, or the whole key; what is missing is no error."""
        subprocess.run(["wine", "reg", "delete", key, *(["/v", name] if name else []), "/f"],
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def set_dpi(self, dpi):
        """The DPI of the screen (LogPixels), which Wine reads when it starts."""
        self.reg_add(r"HKCU\Control Panel\Desktop", "LogPixels", dpi, "REG_DWORD")
        self.kill_server()


class ProgramTestCase(unittest.TestCase):
    """A test of the built program under Wine: one prefix for the class, and
    for each test the program's state reset and a scratch folder `tmp`.
    `NEEDS` names further built files the tests cannot do without."""

    NEEDS = ()

    @classmethod
    def setUpClass(cls):
        for needed in (PROGRAM, *cls.NEEDS):
            if not needed.exists():
                raise unittest.SkipTest(f"{needed} is not built")
        cls.wine = WinePrefix().ensure()

    def setUp(self):
        self.wine.reset_program_state()
        self.tmp = Path(tempfile.mkdtemp(prefix="tesmora-e2e-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
