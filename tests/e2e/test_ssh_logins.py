"""Logins of the Windows program under Wine to servers set up without the
password method: keyboard-interactive through PAM, the program's own key
added by --install-key, a key imported with its passphrase. The private key
never lands in a file of the drive or of the local data folder."""
import subprocess
from pathlib import Path

from harness.site import BoundDrive, make_sample_site
from harness.sshd import TEST_USER, SshServer
from harness.wine import ProgramTestCase, windows_path

AUTHORIZED_KEYS = Path("/home") / TEST_USER / ".ssh" / "authorized_keys"
PASSPHRASE = "Key-Passphrase-7"
# An ed25519 private key as PKCS#8 DER, as its base64, and as PEM or OpenSSH text.
SECRET_MARKERS = [bytes.fromhex("302e020100300506032b657004220420"), b"MC4CAQAwBQYDK2VwBCIEI", b"PRIVATE KEY"]


class SshLogins(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.site = make_sample_site("logins-site")

    def server(self, key_type, auth):
        server = SshServer(key_type, auth=auth).start()
        self.addCleanup(server.remove)
        return server

    def drive(self, server):
        drive = BoundDrive(self.wine, self.tmp / "drive", "e", server, [self.site])
        self.addCleanup(drive.unmap)
        return drive

    def run_mode(self, drive, *args, env=None):
        result = self.wine.run(drive.program, *args, env=env)
        return result.returncode, self.wine.error_log()

    def assert_backs_up_with(self, drive, login):
        code, errors = self.run_mode(drive, "--backup-now")
        self.assertEqual(code, 0, errors)
        self.assertIn(login, drive.log_lines())

    def assert_no_private_key_in_files(self, *folders):
        # The program itself names the PEM header it builds in memory.
        for path in (p for folder in folders for p in Path(folder).rglob("*") if p.is_file() and p.suffix != ".exe"):
            data = path.read_bytes()
            self.assertEqual([m for m in SECRET_MARKERS if m in data], [], path)

    def test_an_ed25519_only_server_takes_the_password_by_pam_then_only_the_programs_key(self):
        server = self.server("ed25519", "kbdint")
        drive = self.drive(server)
        self.assert_backs_up_with(drive, "LOGIN keyboard-interactive")

        AUTHORIZED_KEYS.unlink(missing_ok=True)  # the program makes it
        out = self.tmp / "install.txt"
        self.assertEqual(self.run_mode(drive, "--install-key", windows_path(out))[0], 0, self.wine.error_log())
        added = out.read_text()
        self.assertRegex(added, r"^Key added: ssh-ed25519 \S+\n$")
        public = added.split(": ", 1)[1].strip()
        self.addCleanup(lambda: AUTHORIZED_KEYS.write_text(
            "".join(line for line in AUTHORIZED_KEYS.read_text().splitlines(True) if public not in line)))
        self.assertEqual(self.run_mode(drive, "--install-key", windows_path(out))[0], 0, self.wine.error_log())
        self.assertEqual(out.read_text(), added.replace("Key added", "Key already present"))
        [entry] = [line for line in AUTHORIZED_KEYS.read_text().splitlines() if public in line]
        self.assertRegex(entry, r"^restrict ssh-ed25519 \S+ TesmoraBackup@[\w.-]+ \d{4}-\d\d-\d\d$")
        self.assertEqual(AUTHORIZED_KEYS.stat().st_mode & 0o777, 0o600)

        # Password logins turned off on the server: the key alone gets in.
        server.stop()
        server.auth = "keys"
        server.start(keep_port=True)
        self.assert_backs_up_with(drive, "LOGIN key")
        self.assert_no_private_key_in_files(drive.folder, self.wine.local_data_dir)

    def test_a_keys_only_server_needs_nothing_but_an_imported_key(self):
        server = self.server("ecdsa", "keys")
        key = self.tmp / "id_ed25519"
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", PASSPHRASE, "-f", str(key)], check=True)
        server.authorize(key.with_suffix(".pub").read_text())
        drive = self.drive(server)
        code, errors = self.run_mode(drive, "--check")
        self.assertEqual(code, 1)
        self.assertIn("The server offers no login this program can use: publickey", errors)

        code, errors = self.run_mode(drive, "--import-key", windows_path(key), env={"TESMORA_KEY_PASSPHRASE": "no"})
        self.assertIn("Cannot use the key file: wrong passphrase", errors)
        code, errors = self.run_mode(drive, "--import-key", windows_path(key),
                                     env={"TESMORA_KEY_PASSPHRASE": PASSPHRASE})
        self.assertEqual(code, 0, errors)
        key.unlink()  # neither kept nor needed
        self.assert_backs_up_with(drive, "LOGIN key")
        self.assert_no_private_key_in_files(drive.folder, self.wine.local_data_dir)
