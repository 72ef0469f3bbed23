"""Loopback SSH servers that are not a stock OpenSSH with room to spare.

DropbearServer is Dropbear, the server of many small hosts and routers, with
a host key of one kind. BusySshServer is an OpenSSH server that takes one
unauthenticated connection at a time and holds that one itself, so that every
other connection is dropped before the server's SSH greeting (sshd writes
only "Exceeded MaxStartups"), as a server under a flood of connections does. Both listen on 127.0.0.1 only and let in the
accounts of accounts.py with their password.
"""
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from .accounts import LOGIN_GROUP, TEST_PASSWORD, TEST_USER, ensure_test_user
from .sshd import SshServer, free_loopback_port

DROPBEAR = shutil.which("dropbear") or "/usr/sbin/dropbear"
DROPBEAR_KEY_TYPES = {"ecdsa": ["-t", "ecdsa", "-s", "256"], "ed25519": ["-t", "ed25519"]}


class DropbearServer:
    def __init__(self, key_type="ed25519", folder=None):
        # ECDSA and Ed25519 only: the OpenSSH servers cover RSA, and clients
        # have dropped DSS.
        if key_type not in DROPBEAR_KEY_TYPES:
            raise ValueError(f"unknown Dropbear host key type {key_type}")
        self.key_type = key_type
        self.folder = Path(folder or tempfile.mkdtemp(prefix="tesmora-dropbear-"))
        self.host = "127.0.0.1"
        self.port = None
        self.user = TEST_USER
        self.password = TEST_PASSWORD
        self.host_key = self.folder / f"dropbear_{key_type}_host_key"
        self.public_key = self.folder / f"dropbear_{key_type}_host_key.pub"
        self.log = self.folder / "dropbear.log"
        self.pid_file = self.folder / "dropbear.pid"
        self.process = None

    def start(self):
        ensure_test_user()
        self.folder.mkdir(parents=True, exist_ok=True)
        if not self.host_key.exists():
            subprocess.run(["dropbearkey", *DROPBEAR_KEY_TYPES[self.key_type], "-f", str(self.host_key)], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # "dropbearkey -y" prints the key as an OpenSSH public key line
            # among other text; ssh-keygen fingerprints it from a file.
            out = subprocess.run(["dropbearkey", "-y", "-f", str(self.host_key)], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
            line = next(line for line in out.splitlines() if line.startswith(("ssh-", "ecdsa-")))
            self.public_key.write_text(line + "\n")
        for _ in range(5):
            self.port = free_loopback_port()
            with open(self.log, "ab") as log:
                # In the foreground (-F) and logging to standard error (-E), so
                # the harness owns the process and its log; root may not log in
                # (-w); only the test accounts' group may (-G); the PID file is
                # kept in the folder, not in /var/run.
                self.process = subprocess.Popen(
                    [DROPBEAR, "-F", "-E", "-w", "-G", LOGIN_GROUP, "-p", f"{self.host}:{self.port}",
                     "-r", str(self.host_key), "-P", str(self.pid_file)],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            if self._wait_listening():
                return self
            self.stop()
        raise RuntimeError(f"dropbear did not start; see {self.log}")

    def _wait_listening(self, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                with socket.create_connection((self.host, self.port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def stop(self):
        # Sessions run in children of their own and end with their clients.
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        self.pid_file.unlink(missing_ok=True)

    def fingerprint(self):
        """The host key's "SHA256:..." fingerprint as ssh-keygen prints it."""
        out = subprocess.run(["ssh-keygen", "-lf", str(self.public_key)], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        return re.search(r"SHA256:[A-Za-z0-9+/]+", out).group(0)

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.remove()


class BusySshServer(SshServer):
    # One unauthenticated connection at a time, and no time limit on it, so
    # the one the harness holds keeps the server full for as long as it wants.
    LIMITS = ["MaxStartups 1", "LoginGraceTime 0"]

    def __init__(self, key_type="ecdsa", folder=None):
        super().__init__(key_type, folder or tempfile.mkdtemp(prefix="tesmora-sshd-busy-"))
        self.held = None

    def start(self, keep_port=False):
        super().start(keep_port)
        self.hold()
        return self

    def hold(self, seconds=10):
        """Opens the one connection the server takes and reads its greeting,
        which proves the server counts it. The probe of the start may still
        be counted for a moment, so a dropped attempt is retried."""
        if self.held:
            return
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            connection = socket.create_connection((self.host, self.port), timeout=5)
            try:
                if connection.recv(256).startswith(b"SSH-"):
                    self.held = connection
                    return
            except OSError:
                pass
            connection.close()
            time.sleep(0.05)
        raise RuntimeError(f"the busy server never took a connection; see {self.log}")

    def release(self):
        """Frees the server's one place: the next connection gets in."""
        if self.held:
            self.held.close()
            self.held = None

    def stop(self):
        self.release()
        super().stop()
