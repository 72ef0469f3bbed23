"""Verify and restore from the command line of the real program under Wine:
a site full of names Windows cannot hold goes to the drive and comes back
into a folder on another mapped drive, file by file.

Wine makes no symbolic links (its CreateSymbolicLinkW answers success and
does nothing), so here every link is listed in the report instead; the
native unit tests make them.
"""
import os
import re
import shutil
import sqlite3
import subprocess
import unittest

from harness.site import BoundDrive, make_sample_site
from harness.sshd import TEST_USER, SshServer
from harness.wine import ProgramTestCase, windows_path

RENAMED = re.compile(r"^переименовано: «(.*)» -> (.*)$")


class Restore(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = SshServer("ecdsa").start()
        cls.addClassCleanup(cls.server.remove)
        cls.site = make_sample_site("restore-site", big_file_mib=101)
        cls.addClassCleanup(shutil.rmtree, cls.site, True)
        odd = cls.site / "odd"
        odd.mkdir()
        names = ["кириллица.txt", 'quote"d.txt', "it's.txt", "CON", "aux.txt", "a:b.txt", "what?.txt",
                 "trailing.", "trailing ", "back\\slash", "Mixed", "mixed"]
        for name in names:
            (odd / name).write_text(f"content of {name}")
        deep = odd
        while len(str(deep)) < 300:
            deep = deep / "глубокая-папка"
        deep.mkdir(parents=True)
        (deep / "deep.txt").write_text("far down")
        (odd / "empty").mkdir()
        (odd / "to-folder").symlink_to("empty")
        (odd / "dangling").symlink_to("nowhere")
        os.link(cls.site / "public" / "index.html", odd / "hard.html")
        subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(odd)], check=True)

    def program(self, drive, *args):
        return self.wine.run(drive.program, *args, timeout=600)

    def test_round_trip_file_by_file_then_verify_finds_damage(self):
        drive = BoundDrive(self.wine, self.tmp / "drive", "e", self.server, [self.site])
        self.addCleanup(drive.unmap)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [snapshot] = drive.snapshots()

        other = self.tmp / "other-drive"
        self.wine.map_drive("f", other, serial="0ddba11", label="OTHER")
        self.addCleanup(self.wine.unmap_drive, "f")
        result = self.program(drive, "--restore", windows_path(snapshot), "F:\\восстановлено")
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        self.assertRegex(result.stdout.decode(), r"Восстановлено: \d+ файлов, 10\d МиБ; жёстких ссылок \d+; "
                                                 r"переименовано \d+; ссылок не создано \d+; пропущено 0")
        target = other / "восстановлено"
        report = (target / "restore-report.txt").read_bytes()
        self.assertTrue(report.startswith(b"\xef\xbb\xbf") and report.endswith(b"\r\n"))
        lines = report.decode("utf-8-sig").split("\r\n")
        renamed = {m.group(1): m.group(2).replace("\\", "/") for m in map(RENAMED.match, lines) if m}

        # Every file of the site is there, under its name or the one the
        # report gives, with its bytes and its time.
        checked = 0
        for path in self.site.rglob("*"):
            if path.is_symlink() or not path.is_file() or path.name.endswith(("-wal", "-shm")):
                continue
            member = str(path).lstrip("/")
            restored = target / renamed.get(member, member)
            self.assertTrue(restored.is_file(), f"{member} is missing")
            if path.name != "site.db":
                self.assertEqual(restored.read_bytes(), path.read_bytes(), member)
            self.assertEqual(int(restored.stat().st_mtime), int(path.stat().st_mtime), member)
            checked += 1
        self.assertGreater(checked, 15)
        for name in ["CON", "a:b.txt", "trailing.", "back\\slash"]:
            self.assertIn(str(self.site / "odd" / name).lstrip("/"), renamed)
        self.assertEqual(len([m for m in renamed if m.lower().endswith("/odd/mixed")]), 1)
        self.assertTrue((target / str(self.site / "odd" / "empty").lstrip("/")).is_dir())
        db = sqlite3.connect(target / str(self.site / "data" / "site.db").lstrip("/"))
        self.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        db.close()
        for link in ["public/home.html", "odd/to-folder", "odd/dangling"]:
            self.assertTrue(any(line.startswith("ссылка не создана") and f"/{link}»" in line for line in lines), link)

        # Verification: a good copy passes; a byte changed on the drive does not.
        result = self.program(drive, "--verify")
        self.assertEqual((result.returncode, result.stdout.decode().strip()), (0, f"VERIFY {snapshot.name} OK"))
        archive = snapshot / "site.tar.gz"
        with open(archive, "r+b") as f:
            f.seek(archive.stat().st_size // 2)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 1]))
        result = self.program(drive, "--verify", windows_path(snapshot))
        self.assertEqual(result.returncode, 1)
        out = result.stdout.decode().splitlines()
        self.assertTrue(out[0].startswith(f"VERIFY {snapshot.name} FAILED the archive's SHA-256 differs"), out)
        self.assertTrue(out[1].startswith(f"The copy {snapshot.name} cannot be trusted"), out)
        self.assertTrue(out[1].endswith("Other copies: none"), out)
        self.assertEqual([line.split(" ", 2)[:2] for line in drive.log_lines() if line.startswith("VERIFY")],
                         [["VERIFY", snapshot.name]] * 2)
        self.assertEqual(sorted(p.name for p in snapshot.iterdir()),
                         ["COMPLETE", "SHA256SUMS.txt", "site.index", "site.tar.gz", "snapshot.ini"])


if __name__ == "__main__":
    unittest.main()
