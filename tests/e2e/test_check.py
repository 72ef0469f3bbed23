"""--check of the Windows program under Wine against a loopback OpenSSH server.
A wrong pin and a missing password are covered by the SSH unit tests."""
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

    def test_right_pin_and_stored_password_verify(self):
        fingerprint = self.server.fingerprint()
        self.store_password(fingerprint, self.server.password)
        out = self.tmp / "check.txt"
        result = self.wine.run(self.drive_with_settings(fingerprint), "--check", windows_path(out))
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        self.assertEqual(out.read_bytes(), b"SSH host key and stored credential verified\n")


if __name__ == "__main__":
    unittest.main()
