"""A sample website on the loopback server and a drive set up for it, as a
user's settings window would leave them."""
import os
import shutil
import sqlite3
import subprocess
import uuid
from pathlib import Path

from .sshd import TEST_USER, ensure_test_user
from .wine import PROGRAM, REPO

UNIT_TESTS = Path(os.environ.get("TESMORA_TEST_WINDOWS_BUILD") or REPO / "build" / "windows") / "tesmora_unit_tests.exe"


def ini_bytes(entries):
    return ("\ufeff[backup]\r\n" + "".join(f"{k}={v}\r\n" for k, v in entries)).encode("utf-16-le")


def ini_values(path):
    text = path.read_bytes().decode("utf-16")
    return [tuple(line.split("=", 1)) for line in text.splitlines()[1:]]


def make_sample_site(name="sample-site", big_file_mib=0):
    """Folders, a file with a Cyrillic name, a symbolic link, a live SQLite
    database in WAL mode; optionally one large incompressible file."""
    site = ensure_test_user() / name
    if site.exists():
        shutil.rmtree(site)
    (site / "public" / "img").mkdir(parents=True)
    (site / "public" / "index.html").write_text("<h1>Тесмора</h1>\n" * 200)
    (site / "public" / "img" / "logo.png").write_bytes(os.urandom(30000))
    (site / "public" / "страница-о-нас.html").write_text("О нас\n" * 100)
    (site / "public" / "home.html").symlink_to("index.html")
    (site / "data").mkdir()
    db = sqlite3.connect(site / "data" / "site.db")
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT)")
    db.executemany("INSERT INTO orders (item) VALUES (?)", [(f"item {i}",) for i in range(500)])
    db.commit()
    db.close()
    if big_file_mib:
        with open(site / "public" / "video.bin", "wb") as f:
            for _ in range(big_file_mib):
                f.write(os.urandom(1 << 20))
    subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(site)], check=True)
    return site


class BoundDrive:
    """A Wine drive holding the program, its settings and device.ini, with the
    password stored for those settings."""

    def __init__(self, wine, folder, letter, server, paths, serial="5eed1234", keep=0, binding_id=None,
                 detect=False):
        self.wine = wine
        self.folder = Path(folder)
        self.letter = letter
        self.server = server
        self.id = binding_id or str(uuid.uuid4()).upper()
        self.device = f"NO-HARDWARE-SERIAL/VOL-{int(serial, 16):x}"
        wine.map_drive(letter, self.folder, serial=serial, label="BACKUP")
        program_folder = self.folder / "Tesmora_Site_Backup"
        program_folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(PROGRAM, program_folder / "TesmoraBackup.exe")
        entries = [("id", self.id), ("device", self.device), ("host", server.host), ("port", str(server.port)),
                   ("user", server.user), ("fingerprint", server.fingerprint()), ("hours", "24"),
                   ("keep", str(keep)), ("automatic", "1"), ("path_count", str(len(paths))),
                   # Off unless asked: the test sites name no database, and the
                   # runner's own database servers would draw the warning that
                   # a server runs while no site names one.
                   ("detect_databases", "1" if detect else "0")]
        entries += [(f"path{i}", str(p)) for i, p in enumerate(paths)]
        (program_folder / "settings.ini").write_bytes(ini_bytes(entries))
        (program_folder / "device.ini").write_bytes(ini_bytes([("id", self.id)]))
        result = wine.run(UNIT_TESTS, "--store-password", self.id, server.host, server.port, server.user,
                          server.fingerprint(), server.password)
        if result.returncode != 0:
            raise RuntimeError("could not store the password: " + result.stderr.decode(errors="replace"))

    @property
    def program(self):
        return self.folder / "Tesmora_Site_Backup" / "TesmoraBackup.exe"

    @property
    def backup_folder(self):
        return self.folder / "Backcup_Site_Tesmora"

    def snapshots(self):
        if not self.backup_folder.exists():
            return []
        return sorted(p for p in self.backup_folder.iterdir() if "_UTC-" in p.name)

    def run(self, mode="--backup-now", timeout=600):
        return self.wine.run(self.program, mode, timeout=timeout)

    def start(self, mode="--backup-now"):
        return self.wine.start(self.program, mode)

    def log_lines(self):
        log = self.backup_folder / "backup.log"
        if not log.exists():
            return []
        data = log.read_bytes()
        assert data.endswith(b"\r\n"), data[-20:]
        return [line.decode("utf-8").split(" ", 1)[1] for line in data[:-2].split(b"\r\n")]

    def unmap(self):
        self.wine.unmap_drive(self.letter)


def verify_checksums(snapshot):
    """True when sha256sum -c accepts the snapshot's SHA256SUMS.txt."""
    result = subprocess.run(["sha256sum", "-c", "SHA256SUMS.txt"], cwd=snapshot, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    return result.returncode == 0, result.stdout.strip()


__all__ = ["BoundDrive", "make_sample_site", "verify_checksums", "ini_values", "ini_bytes", "windows_path"]
