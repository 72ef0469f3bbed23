"""--check of the Windows program under Wine against a loopback OpenSSH server."""
import shutil
import tempfile
import unittest
import uuid
from pathlib import Path

from harness.site import UNIT_TESTS, ini_bytes
from harness.sshd import SshServer
from harness.wine import PROGRAM, WinePrefix, windows_path



class CheckMode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PROGRAM.exists() or not UNIT_TESTS.exists():
            raise unittest.SkipTest("the Windows build is missing")
        cls.wine = WinePrefix().ensure()
        cls.server = SshServer("ecdsa").start()

    @classmethod
    def tearDownClass(cls):
        cls.server.remove()

    def setUp(self):
        self.wine.reset_program_state()
        self.tmp = Path(tempfile.mkdtemp(prefix="tesmora-check-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        # A fresh binding id per test: no test finds a password another stored.
        self.binding_id = str(uuid.uuid4()).upper()

    def drive_with_settings(self, fingerprint):
        program_folder = self.tmp / "drive" / "Tesmora_Site_Backup"
        program_folder.mkdir(parents=True)
        shutil.copy(PROGRAM, program_folder / "TesmoraBackup.exe")
        (program_folder / "settings.ini").write_bytes(ini_bytes([
            ("id", self.binding_id), ("host", self.server.host), ("port", str(self.server.port)),
            ("user", self.server.user), ("fingerprint", fingerprint)]))
        return program_folder / "TesmoraBackup.exe"

    def store_password(self, fingerprint, password):
        result = self.wine.run(UNIT_TESTS, "--store-password", self.binding_id, self.server.host, self.server.port,
                               self.server.user, fingerprint, password)
        self.assertEqual(result.returncode, 0, result.stderr)

    def errors(self):
        return self.wine.error_log()

    def test_right_pin_and_stored_password_verify(self):
        fingerprint = self.server.fingerprint()
        self.store_password(fingerprint, self.server.password)
        out = self.tmp / "check.txt"
        result = self.wine.run(self.drive_with_settings(fingerprint), "--check", windows_path(out))
        self.assertEqual(result.returncode, 0, self.errors())
        self.assertEqual(out.read_bytes(), b"SSH host key and stored credential verified\n")
        self.assertEqual(len(out.read_bytes()), 44)

    def test_wrong_pin_is_reported_and_nothing_is_sent(self):
        right = self.server.fingerprint()
        wrong = "SHA256:" + "A" * 43
        self.store_password(wrong, self.server.password)
        attempts_before = self.server.log.read_text().count("password for")
        out = self.tmp / "check.txt"
        result = self.wine.run(self.drive_with_settings(wrong), "--check", windows_path(out))
        self.assertEqual(result.returncode, 1)
        self.assertFalse(out.exists())
        self.assertIn(f"SSH HOST KEY MISMATCH. Expected {wrong}; received {right}\r\n", self.errors())
        self.assertEqual(self.server.log.read_text().count("password for"), attempts_before)

    def test_without_stored_password_nothing_is_sent(self):
        fingerprint = self.server.fingerprint()
        attempts_before = self.server.log.read_text().count("password for")
        result = self.wine.run(self.drive_with_settings(fingerprint), "--check")
        self.assertEqual(result.returncode, 1)
        self.assertIn("Enter and save the VDS password on this Windows account first", self.errors())
        self.assertEqual(self.server.log.read_text().count("password for"), attempts_before)


if __name__ == "__main__":
    unittest.main()
