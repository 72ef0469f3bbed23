"""Drives, the binding and --install of the Windows program under Wine.

Wine never reports a hardware serial (its storage property query answers
without one), so every identity here reads NO-HARDWARE-SERIAL; the hardware
serial path is covered by the unit tests on descriptor bytes. Wine's
schtasks.exe stores tasks but never runs them, so the task definition itself
is checked against the golden file.
"""
import json
import re
import shutil
import unittest

from harness.site import ini_bytes, ini_values
from harness.wine import PROGRAM, REPO, ProgramTestCase, windows_path

BINDING_ID = "0F8FAD5B-D9CB-469F-A165-70867728950E"
STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_UTC"


class DrivesAndInstall(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.mapped = []

    def tearDown(self):
        for letter in self.mapped:
            self.wine.unmap_drive(letter)

    def map(self, letter, name, serial, label="", kind="fixed"):
        folder = self.tmp / name
        self.wine.map_drive(letter, folder, serial=serial, label=label, kind=kind)
        self.mapped.append(letter)
        return folder

    def unmap(self, letter):
        self.wine.unmap_drive(letter)
        self.mapped.remove(letter)

    def devices(self):
        out = self.tmp / "devices.json"
        result = self.wine.run_program("--devices", windows_path(out))
        self.assertEqual(result.returncode, 0, self.errors())
        text = out.read_bytes().decode("utf-8")
        return text, json.loads(text)

    def errors(self):
        return self.wine.error_log()

    def prepare_drive(self, folder, device):
        """A drive as a save leaves it: the program, its settings and device.ini."""
        program_folder = folder / "Tesmora_Site_Backup"
        program_folder.mkdir(parents=True, exist_ok=True)
        shutil.copy(PROGRAM, program_folder / "TesmoraBackup.exe")
        (program_folder / "settings.ini").write_bytes(ini_bytes([
            ("id", BINDING_ID), ("device", device), ("host", "127.0.0.1"), ("port", "22"), ("user", "owner"),
            ("fingerprint", "SHA256:x"), ("hours", "24"), ("keep", "3"), ("automatic", "1"),
            ("path_count", "1"), ("path0", "/var/www")]))
        (program_folder / "device.ini").write_bytes(ini_bytes([("id", BINDING_ID)]))
        return program_folder

    def test_devices_lists_usable_drives_in_letter_order(self):
        self.map("g", "g", "0000beef", kind="removable")
        self.map("e", "e", "1a2b3c4d", label="BACKUP")
        self.map("h", "h", "12345678", kind="network")
        self.map("i", "i", "87654321", kind="cdrom")
        text, drives = self.devices()
        self.assertNotIn(" ", text)
        self.assertIn('{"root":"E:\\\\","serial":"NO-HARDWARE-SERIAL/VOL-1a2b3c4d"}', text)
        roots = [d["root"] for d in drives]
        self.assertEqual(roots, sorted(roots))
        self.assertIn("E:\\", roots)
        self.assertNotIn("H:\\", roots)
        self.assertNotIn("I:\\", roots)
        by_root = {d["root"]: d["serial"] for d in drives}
        self.assertEqual(by_root.get("G:\\"), "NO-HARDWARE-SERIAL/VOL-beef")

    def test_install_from_the_drive_saves_copies_and_registers(self):
        drive = self.map("e", "e", "1a2b3c4d", label="BACKUP")
        program_folder = self.prepare_drive(drive, "NO-HARDWARE-SERIAL/VOL-1a2b3c4d")
        result = self.wine.run(program_folder / "TesmoraBackup.exe", "--install")
        self.assertEqual(result.returncode, 0, self.errors())
        local = self.wine.local_data_dir
        self.assertEqual((local / "TesmoraBackup.exe").read_bytes(), PROGRAM.read_bytes())
        self.assertEqual(dict(ini_values(local / "binding.ini")).get("id"), BINDING_ID)
        self.assertTrue((drive / "Backcup_Site_Tesmora").is_dir())

        # task.xml is the golden definition with this user's SID, this
        # registration's time and this prefix's local data directory.
        written = (local / "task.xml").read_bytes()
        self.assertEqual(written[:2], b"\xff\xfe")
        xml = written[2:].decode("utf-16-le")
        sid = re.search(r"<UserId>(S-1-[0-9-]+)</UserId>", xml).group(1)
        start = re.search(r"<StartBoundary>(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)</StartBoundary>", xml).group(1)
        golden = (REPO / "tests/schedule/golden/task.xml").read_bytes()[2:].decode("utf-16-le")
        golden_folder = r"C:\Users\Анна &amp; Co\AppData\Local\Tesmora\SiteBackup"
        local_windows = re.search(r"<WorkingDirectory>(.*)</WorkingDirectory>", xml).group(1)
        self.assertTrue(local_windows.lower().endswith(r"\appdata\local\tesmora\sitebackup"), local_windows)
        expected = (golden.replace("S-1-5-21-1004336348-1177238915-682003330-1001", sid)
                    .replace("2026-03-07T04:05:09", start).replace(golden_folder, local_windows))
        self.assertEqual(xml, expected)
        self.assertTrue((self.wine.prefix / "drive_c/windows/system32/tasks/Tesmora-SiteBackup").exists())

        # Registering again replaces the task.
        result = self.wine.run(local / "TesmoraBackup.exe", "--install")
        self.assertEqual(result.returncode, 0, self.errors())

    def test_the_local_copy_finds_the_bound_drive_by_identity(self):
        drive = self.map("e", "stick", "1a2b3c4d")
        self.prepare_drive(drive, "NO-HARDWARE-SERIAL/VOL-1a2b3c4d")
        result = self.wine.run(drive / "Tesmora_Site_Backup" / "TesmoraBackup.exe", "--install")
        self.assertEqual(result.returncode, 0, self.errors())
        local_copy = self.wine.local_data_dir / "TesmoraBackup.exe"

        # Unplugged: the job modes report it, a scheduled start stays quiet.
        self.unmap("e")
        self.assertEqual(self.wine.run(local_copy, "--scheduled").returncode, 0)
        self.assertEqual(self.errors(), "")
        self.assertEqual(self.wine.run(local_copy, "--install").returncode, 1)
        self.assertRegex(self.errors(), "^" + STAMP + " Configured drive not found\r\n$")
        (self.wine.local_data_dir / "errors.log").unlink()

        # Back under another letter: found again.
        self.map("g", "stick", "1a2b3c4d")
        result = self.wine.run(local_copy, "--install")
        self.assertEqual(result.returncode, 0, self.errors())

        # A look-alike with the same identity and the same device.ini: refused.
        clone = self.map("f", "clone", "1a2b3c4d")
        self.prepare_drive(clone, "NO-HARDWARE-SERIAL/VOL-1a2b3c4d")
        self.assertEqual(self.wine.run(local_copy, "--install").returncode, 1)
        self.assertIn("Ambiguous device identity; reconnect only the intended drive", self.errors())

        # The same identity without the right device.ini does not qualify.
        (clone / "Tesmora_Site_Backup" / "device.ini").write_bytes(ini_bytes([("id", "another-binding")]))
        (self.wine.local_data_dir / "errors.log").unlink()
        result = self.wine.run(local_copy, "--install")
        self.assertEqual(result.returncode, 0, self.errors())


if __name__ == "__main__":
    unittest.main()
