"""The fixtures themselves: the loopback SSH server and Wine's mapped drives."""
import shutil
import socket
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness.sshd import SshServer
from harness.wine import WinePrefix


class LoopbackSshServer(unittest.TestCase):
    def test_each_key_type_serves_its_key_and_accepts_the_password(self):
        if shutil.which("sshpass") is None:
            self.skipTest("sshpass is not installed")
        for key_type in ["ecdsa", "rsa", "ed25519"]:
            with self.subTest(key_type=key_type), SshServer(key_type) as server:
                scan = subprocess.run(["ssh-keyscan", "-p", str(server.port), server.host],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=30)
                listed = subprocess.run(["ssh-keygen", "-lf", "-"], input=scan.stdout, stdout=subprocess.PIPE,
                                        text=True, check=True).stdout
                self.assertIn(server.fingerprint(), listed)
                login = subprocess.run(
                    ["sshpass", "-p", server.password, "ssh", "-p", str(server.port),
                     "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                     "-o", "PreferredAuthentications=password", f"{server.user}@{server.host}", "echo logged-in"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
                self.assertEqual(login.stdout.strip(), "logged-in", login.stderr)
                self.assertIn("Accepted password", server.log.read_text())
                port = server.port
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=1).close()


class WineDrives(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = WinePrefix().ensure()

    def test_mapped_drive_shows_its_serial_and_label(self):
        folder = Path(tempfile.mkdtemp(prefix="tesmora-drive-"))
        self.addCleanup(shutil.rmtree, folder, True)
        self.wine.map_drive("e", folder, serial="1a2b3c4d", label="BACKUP", kind="fixed")
        self.addCleanup(self.wine.unmap_drive, "e")
        listing = self.wine.run("cmd", "/c", "vol", "e:").stdout.decode(errors="replace")
        self.assertIn("1a2b-3c4d", listing.lower())
        self.assertIn("BACKUP", listing)
        (folder / "seen.txt").write_text("x")
        listing = self.wine.run("cmd", "/c", "dir", "/b", "e:\\").stdout.decode(errors="replace")
        self.assertIn("seen.txt", listing)


if __name__ == "__main__":
    unittest.main()
