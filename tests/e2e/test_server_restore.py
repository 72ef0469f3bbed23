"""--restore-to-server of the real program under Wine, against the loopback
OpenSSH server, whose login is not root: the tree comes back with its names,
bytes, modes, times and links, owned by the login; unsafe folders, a damaged
snapshot and a dropped connection leave the server as it was."""
import os
import shutil
import socket
import subprocess
import time
import unittest
from pathlib import Path

from harness.site import BoundDrive, ini_bytes, ini_values, make_sample_site
from harness.sshd import TEST_USER, SshServer
from harness.wine import ProgramTestCase, windows_path

HOME = Path("/home") / TEST_USER


def tree(root):
    found = {}
    for path in sorted(root.rglob("*")):
        s = path.lstat()
        key = str(path.relative_to(root))
        if path.is_symlink():
            found[key] = ("link", os.readlink(path))
        else:
            found[key] = (s.st_mode, s.st_mtime_ns // 1000, None if path.is_dir() else path.read_bytes())
    return found


class ServerRestore(ProgramTestCase):
    drive = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = SshServer("ecdsa").start()
        cls.addClassCleanup(cls.server.remove)
        cls.site = make_sample_site("server-restore-site", big_file_mib=64)
        cls.addClassCleanup(shutil.rmtree, cls.site, True)
        (cls.site / "data" / "site.db").unlink()  # a live database's copy is checked elsewhere
        (cls.site / "empty").mkdir()
        (cls.site / "run.sh").write_text("#!/bin/sh\n")
        (cls.site / "run.sh").chmod(0o4750)
        (cls.site / "absolute").symlink_to("/etc/hostname")
        os.link(cls.site / "public" / "index.html", cls.site / "hard.html")
        subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(cls.site)], check=True)
        for path in list(cls.site.rglob("*")) + [cls.site]:
            os.utime(path, ns=(1600000000123456000,) * 2, follow_symlinks=False)

    def setUp(self):
        super().setUp()
        self.target = HOME / "restored"
        self.addCleanup(shutil.rmtree, self.target, True)
        if ServerRestore.drive is None:
            drive = ServerRestore.drive = BoundDrive(self.wine, self.tmp.parent / "server-restore-drive", "e",
                                                     self.server, [self.site])
            self.addClassCleanup(shutil.rmtree, drive.folder, True)
            self.addClassCleanup(drive.unmap)
            self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [self.snapshot] = self.drive.snapshots()

    def restore(self, target, snapshot=None):
        return self.wine.run(self.drive.program, "--restore-to-server", windows_path(snapshot or self.snapshot),
                             str(target), timeout=600)

    def leftovers(self):
        return [p for p in os.listdir(HOME) if ".tesmora-restore-" in p]

    def test_the_tree_comes_back_owned_by_the_login(self):
        result = self.restore(self.target)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        restored = self.target / str(self.site).lstrip("/")
        self.assertEqual(tree(restored), tree(self.site))
        self.assertEqual((restored / "hard.html").stat().st_ino, (restored / "public" / "index.html").stat().st_ino)
        self.assertEqual({p.lstat().st_uid for p in self.target.rglob("*")}, {self.site.stat().st_uid})
        report = (self.target / "restore-report.txt").read_text()
        self.assertIn(f"всё принадлежит пользователю {TEST_USER}", report)
        self.assertIn("Восстановлено на сервере:", result.stdout.decode())
        self.assertEqual(self.leftovers(), [])

    def test_an_encrypted_snapshot_comes_back_the_same(self):
        sheet = self.tmp / "sheet.txt"
        on = self.wine.run(self.drive.program, "--encryption", "on", windows_path(sheet),
                           env={"TESMORA_ENCRYPTION_PASSPHRASE": "correct horse battery"})
        self.assertEqual(on.returncode, 0, on.stderr)
        self.addCleanup(self.wine.run, self.drive.program, "--encryption", "off")
        self.assertEqual(self.drive.run().returncode, 0, self.wine.error_log())
        encrypted = self.drive.snapshots()[-1]
        self.addCleanup(shutil.rmtree, encrypted, True)
        self.assertTrue((encrypted / "site.tar.gz.age").exists())
        result = self.restore(self.target, encrypted)
        self.assertEqual(result.returncode, 0, result.stdout.decode() + result.stderr.decode())
        self.assertEqual(tree(self.target / str(self.site).lstrip("/")), tree(self.site))
        self.assertEqual(self.leftovers(), [])

    def test_unsafe_folders_and_a_damaged_snapshot_change_nothing(self):
        self.target.mkdir()
        shutil.chown(self.target, TEST_USER, TEST_USER)
        (self.target / "live.php").write_text("live")
        link = HOME / "restored-link"
        link.symlink_to(self.target)
        self.addCleanup(link.unlink)
        for target in (self.target, link):
            self.assertEqual(self.restore(target).returncode, 1)
            self.assertIn("Choose an empty or new folder to restore into", self.wine.error_log())
        self.assertEqual(os.listdir(self.target), ["live.php"])
        copy = self.drive.folder / "damaged" / self.snapshot.name
        shutil.copytree(self.snapshot, copy)
        self.addCleanup(shutil.rmtree, copy.parent)
        archive = copy / "site.tar.gz"
        with open(archive, "r+b") as f:
            f.seek(archive.stat().st_size // 2)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 1]))
        fresh = HOME / "restored-fresh"
        self.assertEqual(self.restore(fresh, copy).returncode, 1)
        self.assertIn("nothing was sent to the server", self.wine.error_log())
        # The login runs beside the verification: a server that takes the
        # connection and never answers holds up neither the refusal nor the end.
        silent = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(silent.close)
        settings = self.drive.program.parent / "settings.ini"
        self.addCleanup(settings.write_bytes, settings.read_bytes())
        settings.write_bytes(ini_bytes([(k, str(silent.getsockname()[1]) if k == "port" else v)
                                        for k, v in ini_values(settings)]))
        result = self.wine.run(self.drive.program, "--restore-to-server", windows_path(copy), str(fresh), timeout=20)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(self.wine.error_log().rstrip().endswith("nothing was sent to the server"))
        self.assertFalse(fresh.exists())
        self.assertEqual(self.leftovers(), [])

    def test_a_dropped_connection_leaves_no_folder_and_the_next_attempt_no_leftovers(self):
        process = subprocess.Popen(["wine", str(self.drive.program), "--restore-to-server",
                                    windows_path(self.snapshot), str(self.target)], env=self.wine.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(process.kill)
        deadline = time.monotonic() + 120
        while not self.leftovers() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(self.leftovers())
        # Every process under the harness's own server, the restore program
        # included, stopped first and then killed: the connection drops and
        # nothing on the server cleans up.
        found, pending = [], [self.server.pid()]
        while pending:
            with open(f"/proc/{pending[0]}/task/{pending.pop(0)}/children") as f:
                children = [int(child) for child in f.read().split()]
            for child in children:
                os.kill(child, 19)
            found += children
            pending += children
        for child in found:
            os.kill(child, 9)
        self.assertEqual(process.wait(timeout=120), 1)
        self.assertFalse(self.target.exists())
        self.assertEqual(self.restore(self.target).returncode, 0, self.wine.error_log())
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
