"""The Windows program under Wine against the servers people have: Dropbear
with only an ECDSA or only an ed25519 host key, an account whose login shell
is BSD csh, and accounts on which no backup can run (SFTP-only, nologin, a
login script that prints, sshd past its connection limit). --check passes
exactly where a backup runs, and says why where it cannot."""
import types

from harness import accounts
from harness.servers import BusySshServer, DropbearServer
from harness.site import BoundDrive
from harness.sshd import SshServer
from harness.wine import ProgramTestCase, windows_path

CHECKED = b"SSH host key and stored credential verified\n"


def as_account(server, user):
    """The server as another of its test accounts sees it."""
    return types.SimpleNamespace(host=server.host, port=server.port, user=user, password=server.password,
                                 fingerprint=server.fingerprint)


class ServerKinds(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        accounts.ensure_accounts()
        cls.openssh = SshServer("ecdsa").start()

    @classmethod
    def tearDownClass(cls):
        cls.openssh.remove()
        super().tearDownClass()

    def drive(self, server, user=accounts.TEST_USER):
        drive = BoundDrive(self.wine, self.tmp / f"drive-{user}-{server.port}", "e", as_account(server, user),
                           [accounts.site_on_server(user)])
        self.addCleanup(drive.unmap)
        return drive

    def check(self, drive):
        """--check's exit code, its output file (None when not written) and
        the last line of errors.log."""
        out = self.tmp / "check.txt"
        out.unlink(missing_ok=True)
        code = self.wine.run(drive.program, "--check", windows_path(out)).returncode
        errors = self.wine.error_log().strip().splitlines()
        return code, out.read_bytes() if out.exists() else None, errors[-1].split(" ", 1)[1] if errors else ""

    def assert_backs_up(self, drive):
        self.assertEqual(self.check(drive)[:2], (0, CHECKED))
        result = drive.run()
        self.assertEqual(result.returncode, 0, self.wine.error_log())
        self.assertEqual(len(drive.snapshots()), 1)

    def test_dropbear_backs_up_whatever_its_host_key(self):
        for key_type in ("ecdsa", "ed25519"):
            with self.subTest(key=key_type):
                server = DropbearServer(key_type).start()
                self.addCleanup(server.remove)
                self.assert_backs_up(self.drive(server))

    def test_a_bsd_csh_user_is_backed_up(self):
        user = accounts.SHELL_ACCOUNTS["bsd-csh"][0]
        self.assert_backs_up(self.drive(self.openssh, user))

    def test_accounts_that_cannot_run_a_backup_each_say_why(self):
        cases = [
            (accounts.SFTP_ONLY_USER, 'This account may not run commands (it is SFTP-only or has no shell); the server '
                                      'answered "This service allows sftp connections only."'),
            (accounts.NOLOGIN_USER, 'This account may not run commands (it is SFTP-only or has no shell); the server '
                                    'answered "This account is currently not available."'),
            (accounts.GREETING_USER, f'A login script on the server printed text before the program\'s answer: '
                                     f'"{accounts.GREETING}"; make it print only in interactive shells'),
        ]
        for user, message in cases:
            with self.subTest(user=user):
                drive = self.drive(self.openssh, user)
                self.assertEqual(self.check(drive), (1, None, message))
                # A backup meets the same cause, and keeps no archive.
                self.assertEqual(drive.run().returncode, 1)
                self.assertEqual(self.wine.error_log().strip().splitlines()[-1].split(" ", 1)[1][:40], message[:40])
                self.assertEqual(drive.snapshots(), [])

    def test_a_server_past_its_connection_limit_is_named(self):
        server = BusySshServer("ecdsa").start()
        self.addCleanup(server.remove)
        self.assertEqual(self.check(self.drive(server)),
                         (1, None, "The server closed the connection before SSH began; a connection limit "
                                   "(MaxStartups) or a firewall may be the cause. It said: \"Exceeded MaxStartups\""))
