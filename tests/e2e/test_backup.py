"""Whole backups by the Windows program under Wine against a loopback server.

Faults that cannot be made for real here (the drive exchanged during a
transfer, free space below 512 MiB) are covered by the native job tests with
stand-ins; Wine's SetThreadExecutionState does nothing, so keep-awake is
checked there too.
"""
import filecmp
import json
import os
import re
import shutil
import sqlite3
import subprocess
import tarfile
import time
import unittest
from pathlib import Path

from harness import wait_for
from harness.databases import DatabaseServers
from harness.site import UNIT_TESTS, BoundDrive, ini_bytes, ini_values, make_sample_site, verify_checksums
from harness.sshd import TEST_USER, SshServer
from harness.wine import ProgramTestCase, windows_path

NAME = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")



class Backups(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = SshServer("ecdsa").start()
        cls.addClassCleanup(cls.server.remove)
        cls.site = make_sample_site()

    def drive(self, paths=None, keep=0, server=None, detect=False):
        drive = BoundDrive(self.wine, self.tmp / "drive", "e", server or self.server, paths or [self.site], keep=keep,
                           detect=detect)
        self.addCleanup(drive.unmap)
        return drive

    def hold_open(self, path):
        """Another program keeps the file open (without delete sharing, as
        Windows programs open files) until the returned function is called."""
        ready = self.tmp / f"held-{path.name}"
        holder = self.wine.start(UNIT_TESTS, "--hold-open", windows_path(path), windows_path(ready))
        self.assertTrue(wait_for(ready.exists, 30), "the holder never opened the file")

        def release():
            holder.kill()
            holder.wait()
        self.addCleanup(release)
        return release

    def assert_complete_snapshots_verify(self, drive):
        for snapshot in drive.snapshots():
            if (snapshot / "COMPLETE").exists():
                ok, output = verify_checksums(snapshot)
                self.assertTrue(ok, f"{snapshot.name}: {output}")

    def test_backup_restores_the_site_exactly(self):
        drive = self.drive()
        result = drive.run()
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        [snapshot] = drive.snapshots()
        self.assertRegex(snapshot.name, NAME)
        self.assertEqual(sorted(p.name for p in snapshot.iterdir()),
                         ["COMPLETE", "SHA256SUMS.txt", "site.index", "site.tar.gz", "snapshot.ini"])
        self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz: OK\nsite.index: OK"))
        self.assertEqual(len((snapshot / "SHA256SUMS.txt").read_bytes()), 78 + 77)
        self.assertEqual((snapshot / "COMPLETE").read_bytes(), drive.id.encode())
        self.assertRegex((snapshot / "snapshot.ini").read_bytes().decode(),
                         rf"^format=1\nconfig={drive.id}\ncreated_utc=\d+\narchive=site.tar.gz\nfiles=4\ndatabases=1\ndumps=0\n$")
        schedule = ini_values(drive.backup_folder / "schedule.ini")
        self.assertEqual([k for k, _ in schedule], ["last_success", "last_seen", "retry_after"])
        self.assertEqual(schedule[2][1], "0")
        self.assertEqual(drive.log_lines(),
                         [f"START 127.0.0.1:{self.server.port}", "LOGIN password", f"SUCCESS {snapshot.name}"])

        # Restore with GNU tar and compare.
        restored = self.tmp / "restored"
        restored.mkdir()
        subprocess.run(["tar", "-xzf", str(snapshot / "site.tar.gz"), "-C", str(restored)], check=True)
        with tarfile.open(snapshot / "site.tar.gz") as archive:
            members = archive.getnames()
            manifest = json.load(archive.extractfile(members[-1]))
        self.assertTrue(members[-1].endswith("manifest.json"), members[-1])
        regular_files = [p for p in self.site.rglob("*") if p.is_file() and not p.is_symlink()
                         and not p.name.endswith(("-wal", "-shm"))]
        self.assertEqual(manifest["files"], len(regular_files))
        copy = restored / str(self.site).lstrip("/")
        for name in ["public/index.html", "public/img/logo.png", "public/страница-о-нас.html"]:
            self.assertTrue(filecmp.cmp(self.site / name, copy / name, shallow=False), name)
        self.assertTrue((copy / "public/home.html").is_symlink())
        self.assertEqual(os.readlink(copy / "public/home.html"), "index.html")
        db = sqlite3.connect(copy / "data/site.db")
        self.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        self.assertEqual(db.execute("SELECT count(*) FROM orders").fetchone()[0], 500)
        db.close()

        # A scheduled start right after it changes nothing.
        before = {p: p.read_bytes() for p in drive.backup_folder.iterdir() if p.is_file()}
        self.assertEqual(drive.run("--scheduled").returncode, 0)
        self.assertEqual({p: p.read_bytes() for p in drive.backup_folder.iterdir() if p.is_file()}, before)
        self.assertEqual(len(drive.snapshots()), 1)

    def test_a_run_builds_on_the_last_snapshot_and_never_on_its_damage(self):
        site = make_sample_site("incremental-site", big_file_mib=3)
        self.addCleanup(shutil.rmtree, site, True)
        time.sleep(3.5)  # past the server program's window for files changed just before a scan
        drive = self.drive(paths=[site])

        def backup_and_restore():
            self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
            snapshot = drive.snapshots()[-1]
            self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz: OK\nsite.index: OK"))
            restored = self.tmp / ("restored-" + snapshot.name)
            restored.mkdir()
            for reader in ("tar", "bsdtar"):
                if shutil.which(reader):
                    subprocess.run([reader, "-tzf", str(snapshot / "site.tar.gz")], check=True,
                                   stdout=subprocess.DEVNULL)
            subprocess.run(["tar", "-xzf", str(snapshot / "site.tar.gz"), "-C", str(restored)], check=True)
            return snapshot, restored / str(site).lstrip("/")

        backup_and_restore()
        (site / "public" / "index.html").write_text("changed\n")
        snapshot, copy = backup_and_restore()
        self.assertEqual((copy / "public" / "index.html").read_text(), "changed\n")
        self.assertTrue(filecmp.cmp(site / "public" / "video.bin", copy / "public" / "video.bin", shallow=False))
        # Damage in the last snapshot's large file: the next run sends it again.
        with open(snapshot / "site.tar.gz", "r+b") as f:
            f.seek((snapshot / "site.tar.gz").stat().st_size // 2)
            byte = f.read(1)
            f.seek(-1, 1)
            f.write(bytes([byte[0] ^ 0x55]))
        _, copy = backup_and_restore()
        self.assertTrue(filecmp.cmp(site / "public" / "video.bin", copy / "public" / "video.bin", shallow=False))
        self.assertEqual(len(drive.snapshots()), 3)

    def test_a_run_cut_off_midway_is_resumed_and_its_snapshot_stands_alone(self):
        site = make_sample_site("resumed-site")
        self.addCleanup(shutil.rmtree, site, True)
        for number in range(24):
            (site / "public" / f"upload{number:02d}.bin").write_bytes(os.urandom(2 << 20))
        subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(site)], check=True)
        drive = self.drive(paths=[site])
        cut = drive.start()

        def landed():
            archives = list(drive.backup_folder.glob(".partial-*/site.tar.gz"))
            return archives[0].stat().st_size if archives else 0
        # The server program is killed once a third of the archive is on the drive.
        self.assertTrue(wait_for(lambda: landed() > 16 << 20, 120))
        subprocess.run(["pkill", "-KILL", "-u", TEST_USER, "python3"], check=False)
        self.assertNotEqual(cut.wait(timeout=120), 0)
        [staging] = drive.backup_folder.glob(".partial-*")
        self.assertEqual(sorted(p.name for p in staging.iterdir()), ["PARTIAL_OWNER", "resume.index", "resume.tar.gz"])

        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [snapshot] = drive.snapshots()
        self.assertFalse(staging.exists())
        self.assertEqual(sorted(p.name for p in snapshot.iterdir()),
                         ["COMPLETE", "SHA256SUMS.txt", "site.index", "site.tar.gz", "snapshot.ini"])
        self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz: OK\nsite.index: OK"))
        restored = self.tmp / "resumed"
        restored.mkdir()
        subprocess.run(["tar", "-xzf", str(snapshot / "site.tar.gz"), "-C", str(restored)], check=True)
        copy = restored / str(site).lstrip("/")
        for number in range(24):
            name = f"upload{number:02d}.bin"
            self.assertTrue(filecmp.cmp(site / "public" / name, copy / "public" / name, shallow=False), name)

    def test_encrypted_snapshots_open_with_age_alone_beside_plain_ones_and_the_key_stays_off_disk(self):
        site = make_sample_site("encrypted-site", big_file_mib=2)
        self.addCleanup(shutil.rmtree, site, True)
        time.sleep(3.5)  # past the server program's window for files changed just before a scan
        drive = self.drive(paths=[site])
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        outside = self.tmp / "kept-elsewhere"
        outside.mkdir()
        sheet = outside / "recovery-sheet.txt"
        passphrase = {"TESMORA_ENCRYPTION_PASSPHRASE": "correct horse battery"}
        result = self.wine.run(drive.program, "--encryption", "on", windows_path(sheet), env=passphrase)
        self.assertEqual(result.returncode, 0, result.stderr)
        recipient = dict(ini_values(drive.folder / "Tesmora_Site_Backup/settings.ini"))["encryption_recipient"]
        self.assertIn(f"Encryption on: new snapshots are encrypted to {recipient}", result.stdout.decode())
        self.assertIn("age -d -i identity.age", (drive.backup_folder / "README-DECRYPT.txt").read_text("utf-8"))
        key = outside / "key.txt"
        key.write_text("".join(line + "\n" for line in sheet.read_text("utf-8").splitlines()
                               if line.startswith("AGE-SECRET-KEY-1")))

        def opened(snapshot):
            """The snapshot's archive as age alone opens it, listed by tar."""
            self.assertEqual(sorted(p.name for p in snapshot.iterdir()),
                             ["COMPLETE", "SHA256SUMS.txt", "site.index.age", "site.tar.gz.age", "snapshot.ini"])
            self.assertEqual(verify_checksums(snapshot), (True, "site.tar.gz.age: OK\nsite.index.age: OK"))
            ini = (snapshot / "snapshot.ini").read_text()
            self.assertRegex(ini, rf"^format=1\nconfig={drive.id}\ncreated_utc=\d+\narchive=site.tar.gz.age\n"
                                  r"encryption=age-x25519\nrecipient_fingerprint=SHA256:[A-Za-z0-9+/]{43}\n$")
            plain = self.tmp / f"{snapshot.name}.tar.gz"
            subprocess.run(["age", "-d", "-i", str(key), "-o", str(plain), str(snapshot / "site.tar.gz.age")],
                           check=True)
            restored = self.tmp / f"{snapshot.name}-opened"
            restored.mkdir()
            subprocess.run(["tar", "-xzf", str(plain), "-C", str(restored)], check=True)
            return restored / str(site).lstrip("/")

        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        copy = opened(drive.snapshots()[-1])
        self.assertTrue(filecmp.cmp(site / "public/video.bin", copy / "public/video.bin", shallow=False))
        # The next run builds on the encrypted snapshot.
        (site / "public/index.html").write_text("changed\n")
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        plain, first, second = drive.snapshots()
        self.assertEqual((opened(second) / "public/index.html").read_text(), "changed\n")

        result = self.wine.run(drive.program, "--verify")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for snapshot in (plain, first, second):
            self.assertIn(f"VERIFY {snapshot.name} OK", result.stdout.decode())
        back = self.tmp / "restored-encrypted"
        result = self.wine.run(drive.program, "--restore", windows_path(second), windows_path(back))
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        self.assertEqual((back / str(site).lstrip("/") / "public/index.html").read_text(), "changed\n")

        # Only the sheet, kept elsewhere, holds a key in the clear.
        searched = [drive.folder, self.wine.local_app_data, self.tmp]
        for root in searched:
            for path in Path(root).rglob("*"):
                if path.is_file() and not path.is_symlink() and outside not in path.parents:
                    self.assertIsNone(re.search(rb"AGE-SECRET-KEY-1[0-9A-Z]{58}", path.read_bytes()), path)

        # Off: the next snapshot is plain, the encrypted ones still verify.
        result = self.wine.run(drive.program, "--encryption", "off")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        newest = drive.snapshots()[-1]
        self.assertEqual(verify_checksums(newest), (True, "site.tar.gz: OK\nsite.index: OK"))
        result = self.wine.run(drive.program, "--verify", windows_path(first))
        self.assertEqual((result.returncode, result.stdout.decode().strip()), (0, f"VERIFY {first.name} OK"))

    def test_a_new_configurations_history_is_fitted_after_its_first_run_and_trims_are_logged(self):
        drive = self.drive()
        settings = drive.folder / "Tesmora_Site_Backup" / "settings.ini"
        settings.write_bytes(ini_bytes(ini_values(settings) + [("fit_history", "1")]))
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        values = dict(ini_values(settings))
        # A small site on a roomy drive: the whole ladder.
        self.assertEqual([values.get(k) for k in ("keep", "keep_daily", "keep_weekly", "keep_monthly")],
                         ["1", "7", "4", "12"])
        self.assertNotIn("fit_history", values)
        # Two more runs today: the day keeps its newest, the newest-1 the same one; the others go, logged.
        for _ in range(2):
            self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        first, *_ = [line for line in drive.log_lines() if line.startswith("SUCCESS ")]
        self.assertEqual(len(drive.snapshots()), 2)  # the oldest stays while the monthly tier has count left
        self.assertNotIn(first.split(" ", 1)[1], [p.name for p in drive.snapshots()][1:])
        removed = [line for line in drive.log_lines() if line.startswith("REMOVED ")]
        self.assertEqual(len(removed), 1, drive.log_lines())
        self.assertTrue(removed[0].endswith(": no longer kept by the retention policy"), removed)

    def test_a_hundred_long_paths_back_up(self):
        # The most paths the window takes, each about 200 bytes of UTF-8.
        root = self.site / "клиенты"
        paths = []
        for i in range(100):
            path = root / f"клиент-{i:03d}" / "public_html"
            while len(str(path).encode()) < 200:
                path = path / "каталог"
            path.mkdir(parents=True, exist_ok=True)
            (path / "index.html").write_text(f"site {i}")
            paths.append(path)
        self.addCleanup(shutil.rmtree, root, True)
        drive = self.drive(paths=paths)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [snapshot] = drive.snapshots()
        with tarfile.open(snapshot / "site.tar.gz") as archive:
            manifest = json.load(archive.extractfile("__Tesmora_Backup__/manifest.json"))
        self.assertEqual(manifest["sources"], sorted(map(str, paths)))
        self.assertEqual(manifest["files"], 100)

    def test_a_sites_database_is_dumped_proven_restored_and_one_that_fails_marks_the_copy_incomplete(self):
        if "TESMORA_TEST_MARIADB_PORT" not in os.environ:
            self.skipTest("no private MariaDB (tests/run_all.py starts one)")
        servers = DatabaseServers(os.environ)
        servers.mysql("CREATE DATABASE IF NOT EXISTS e2e_site CHARACTER SET utf8mb4; CREATE OR REPLACE USER e2e@'127.0.0.1' IDENTIFIED BY "
                      "'E2e pass'; GRANT ALL ON e2e_site.* TO e2e@'127.0.0.1'; CREATE OR REPLACE TABLE e2e_site.t "
                      "(id INT PRIMARY KEY, note TEXT); INSERT INTO e2e_site.t VALUES (1, 'раз'), (2, 'два')")
        site = self.site.with_name("wp-site")
        site.mkdir(exist_ok=True)
        self.addCleanup(shutil.rmtree, site, True)
        config = site / "wp-config.php"
        config.write_text("<?php\ndefine( 'DB_NAME', 'e2e_site' );\ndefine( 'DB_USER', 'e2e' );\ndefine( 'DB_PASSWORD',"
                          " 'E2e pass' );\ndefine( 'DB_HOST', '127.0.0.1:%s' );\n" % os.environ["TESMORA_TEST_MARIADB_PORT"])
        subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(site)], check=True)
        drive = self.drive(paths=[site], detect=True)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [snapshot] = drive.snapshots()
        self.assertIn("dumps=1\n", (snapshot / "snapshot.ini").read_text())
        result = self.wine.run(drive.program, "--verify", windows_path(snapshot))
        self.assertEqual((result.returncode, result.stdout.decode().strip()), (0, f"VERIFY {snapshot.name} OK"))
        result = self.wine.run(drive.program, "--restore", windows_path(snapshot), windows_path(self.tmp / "back"))
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        self.assertIn("(1,'раз'),\n(2,'два');".encode(),
                      (self.tmp / "back/__Tesmora_Backup__/databases/mysql-e2e_site.sql").read_bytes())
        self.assertIn("командой: mysql --default-character-set=utf8mb4 'e2e_site' < "
                      "'__Tesmora_Backup__/databases/mysql-e2e_site.sql'",
                      (self.tmp / "back/restore-report.txt").read_text("utf-8-sig"))

        # A database it cannot dump costs neither the files nor the copy: the snapshot is made, marked
        # incomplete where every reader looks, and the exit code says so.
        config.write_text(config.read_text().replace("E2e pass", "wrong"))
        self.assertEqual(drive.run().returncode, 4, self.wine.error_log())
        first, incomplete = drive.snapshots()
        reason = "Cannot dump the MySQL/MariaDB database e2e_site (named in %s): " % config
        ini = (incomplete / "snapshot.ini").read_text()
        self.assertIn("dumps=0\nmissed_database=" + reason, ini)
        self.assertIn(f"INCOMPLETE {incomplete.name}: {reason}", "\n".join(drive.log_lines()))
        result = self.wine.run(drive.program, "--verify", windows_path(incomplete))
        lines = result.stdout.decode().splitlines()
        self.assertEqual((result.returncode, lines[0]), (0, f"VERIFY {incomplete.name} OK"))
        self.assertTrue(lines[1].startswith(f"INCOMPLETE {incomplete.name}: {reason}"), lines)

    def test_check_proves_the_pinned_key_and_the_stored_password(self):
        # A wrong pin and a missing password are covered by the SSH unit tests.
        out = self.tmp / "check.txt"
        result = self.wine.run(self.drive().program, "--check", windows_path(out))
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        # The documented 44 bytes, whatever the login; the login is in backup.log.
        self.assertEqual(out.read_bytes(), b"SSH host key and stored credential verified\n")

    def test_links_on_the_drive_are_never_followed(self):
        # Wine shows a Linux symlink to a folder as a reparse point (a link to
        # a file it shows as a plain file: that case is in the native tests).
        outside = self.tmp / "outside"
        outside.mkdir()
        (outside / "precious.txt").write_text("not the program's")
        drive = self.drive(keep=1)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        [first] = drive.snapshots()
        (first / "link").symlink_to(outside)
        time.sleep(1.1)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        self.assertEqual(drive.log_lines()[-1], "Backup complete; retention could not finish. Existing copies kept.")
        self.assertTrue(first.exists())

        staging = drive.backup_folder / f".partial-{drive.id}"
        staging.mkdir()
        (staging / "PARTIAL_OWNER").write_text(drive.id)
        (staging / "COMPLETE").symlink_to(outside)
        self.assertEqual(drive.run().returncode, 1)
        self.assertIn("Redirected staging entry", self.wine.error_log())
        self.assertEqual((outside / "precious.txt").read_text(), "not the program's")

    def test_full_destination_fails_the_run(self):
        volume = self.tmp / "small-volume"
        volume.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=600m", "tmpfs", str(volume)]).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", str(volume)])
        big = make_sample_site("full-site", big_file_mib=700)
        self.addCleanup(shutil.rmtree, big, True)
        drive = BoundDrive(self.wine, volume, "e", self.server, [big])
        self.addCleanup(drive.unmap)
        self.assertEqual(drive.run().returncode, 1)
        self.assertIn("Destination full, removed or write failed", self.wine.error_log())
        self.assertEqual(drive.snapshots(), [])
        self.assertTrue(drive.log_lines()[-1].startswith("FAILED (partial directory retained): "))

    def test_killed_runs_never_leave_a_snapshot_that_does_not_verify_nor_a_stuck_drive(self):
        drive = self.drive(keep=2)
        delays = [0.05 + 0.12 * i for i in range(20)]
        for delay in delays:
            process = drive.start()
            time.sleep(delay)
            subprocess.run(["pkill", "-KILL", "-f", "TesmoraBackup.exe"], check=False)
            process.wait(timeout=60)
            self.assert_complete_snapshots_verify(drive)
        self.wine.kill_server()
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        self.assert_complete_snapshots_verify(drive)

    def test_files_held_open_stop_a_run_but_never_for_good(self):
        drive = self.drive(keep=1)
        staging = drive.backup_folder / f".partial-{drive.id}"
        staging.mkdir(parents=True)
        (staging / "PARTIAL_OWNER").write_text(drive.id)
        (staging / "site.tar.gz").write_bytes(b"left by a failed run")
        release = self.hold_open(staging / "site.tar.gz")
        self.assertEqual(drive.run().returncode, 1)
        failed = drive.log_lines()[-1]
        self.assertTrue(failed.startswith(f"FAILED (partial directory retained): .partial-{drive.id}: remove: "),
                        failed)
        self.assertEqual((staging / "PARTIAL_OWNER").read_text(), drive.id)
        release()
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())

        # Retention meets a held archive: the old snapshot is kept whole, its
        # checksum beside it, and the next run finishes removing it.
        [old] = drive.snapshots()
        release = self.hold_open(old / "site.tar.gz")
        time.sleep(1.1)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        self.assertTrue(drive.log_lines()[-1].startswith("Retention skipped: remove: "), drive.log_lines()[-1])
        self.assertEqual((old / "COMPLETE").read_text(), drive.id)
        self.assertTrue((old / "SHA256SUMS.txt").exists())
        release()
        time.sleep(1.1)
        self.assertEqual(drive.run().returncode, 0, self.wine.error_log())
        self.assertEqual(len(drive.snapshots()), 1)
        self.assertNotIn(old, drive.snapshots())

    def test_a_login_script_greeting_is_named_as_such(self):
        # bash reads ~/.bashrc for SSH commands too; an echo above its guard
        # lands in front of the archive.
        home = Path("/home") / TEST_USER
        subprocess.run(["usermod", "-s", "/bin/bash", TEST_USER], check=True)
        self.addCleanup(subprocess.run, ["usermod", "-s", "/bin/sh", TEST_USER], check=True)
        (home / ".bashrc").write_text("echo 'Добро пожаловать на VPS!'\n[ -z \"$PS1\" ] && return\n")
        self.addCleanup((home / ".bashrc").unlink)
        drive = self.drive()
        self.assertEqual(drive.run().returncode, 1)
        self.assertIn('A login script on the server printed text before the archive: "Добро пожаловать на VPS!"; '
                      'make it print only in interactive shells', self.wine.error_log())
        self.assertEqual(drive.snapshots(), [])
        self.assertFalse((drive.backup_folder / f".partial-{drive.id}" / "COMPLETE").exists())


if __name__ == "__main__":
    unittest.main()
