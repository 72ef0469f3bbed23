"""A throwaway OpenSSH server on 127.0.0.1 playing the website's server.

Each server has its own folder with generated host keys of one kind (ECDSA,
RSA or Ed25519), its own configuration, log and PID file, and logins of a
dedicated test user in one of the ways servers are set up: a password, a
password through PAM's keyboard-interactive only, or keys only. It lets in
every account of accounts.py, with the SFTP-only ones held to SFTP. It
listens on loopback only.
"""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

# The accounts live in their own module; these names stay importable from here.
from .accounts import (SFTP_CHROOT_USER, SFTP_ONLY_USER, TEST_PASSWORD, TEST_USER, all_users,  # noqa: F401
                       ensure_test_user, prepare_site)

SSHD = shutil.which("sshd") or "/usr/sbin/sshd"
KEY_TYPES = {"ecdsa": ["-t", "ecdsa", "-b", "256"], "rsa": ["-t", "rsa", "-b", "3072"], "ed25519": ["-t", "ed25519"]}
# The login methods of each setup; every one also takes the user's keys.
AUTH = {
    "password": ["UsePAM no", "PasswordAuthentication yes", "KbdInteractiveAuthentication no"],
    "kbdint": ["UsePAM yes", "PasswordAuthentication no", "KbdInteractiveAuthentication yes"],
    "keys": ["UsePAM no", "PasswordAuthentication no", "KbdInteractiveAuthentication no"],
}
# Per-account rules; sshd reads every line after a Match as part of it, so
# these end the configuration.
MATCH_BLOCKS = [
    f"Match User {SFTP_ONLY_USER}",
    "    ForceCommand internal-sftp",
    f"Match User {SFTP_CHROOT_USER}",
    "    ChrootDirectory %h",
    "    ForceCommand internal-sftp",
]


def running(pid):
    """Whether the process still runs. The daemon's parent is init, which may
    be slow to reap it here, so an exited one that waits as a zombie counts
    as gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


# Ports handed out by this process: servers starting side by side must not be
# given the same free port before either has bound it.
_ports_given = set()
_ports_lock = threading.Lock()


def free_loopback_port():
    with _ports_lock:
        while True:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            if port not in _ports_given:
                _ports_given.add(port)
                return port


class SshServer:
    # Room for many logins at once: tests open connections in parallel.
    LIMITS = ["MaxStartups 100"]

    def __init__(self, key_type="ecdsa", folder=None, auth="password"):
        if key_type not in KEY_TYPES or auth not in AUTH:
            raise ValueError(f"unknown host key type {key_type} or login setup {auth}")
        self.key_type = key_type
        self.auth = auth
        self.folder = Path(folder or tempfile.mkdtemp(prefix="tesmora-sshd-"))
        self.host = "127.0.0.1"
        self.port = None
        self.user = TEST_USER
        self.password = TEST_PASSWORD
        self.host_key = self.folder / f"ssh_host_{key_type}_key"
        self.log = self.folder / "sshd.log"
        self.pid_file = self.folder / "sshd.pid"
        # Read by sshd as the test user, so kept in that user's home.
        self.harness_keys = Path("/home") / TEST_USER / ".ssh" / f"harness-keys-{os.getpid()}-{self.folder.name}"

    def authorize(self, public_key_line):
        """Lets a key log in to this server alone."""
        self.harness_keys.parent.mkdir(mode=0o700, exist_ok=True)
        shutil.chown(self.harness_keys.parent, TEST_USER, TEST_USER)
        with open(self.harness_keys, "a") as keys:
            keys.write(public_key_line.strip() + "\n")

    def start(self, keep_port=False):
        """Starts the server; `keep_port` first tries the port it had, as a
        server reconfigured and restarted keeps its address."""
        ensure_test_user()
        Path("/run/sshd").mkdir(parents=True, exist_ok=True)
        self.folder.mkdir(parents=True, exist_ok=True)
        if not self.host_key.exists():
            subprocess.run(["ssh-keygen", "-q", *KEY_TYPES[self.key_type], "-N", "", "-f", str(self.host_key)],
                           check=True)
        for attempt in range(5):
            if not (keep_port and attempt == 0 and self.port):
                self.port = free_loopback_port()
            config = self.folder / "sshd_config"
            config.write_text("\n".join([
                "ListenAddress 127.0.0.1",
                f"Port {self.port}",
                f"HostKey {self.host_key}",
                f"PidFile {self.pid_file}",
                *AUTH[self.auth],
                "PubkeyAuthentication yes",
                # The harness's own keys beside the ones a test installs.
                f"AuthorizedKeysFile .ssh/authorized_keys {self.harness_keys}",
                "PermitRootLogin no",
                f"AllowUsers {' '.join(all_users())}",
                "LogLevel VERBOSE",
                *self.LIMITS,
                "StrictModes no",
                # As on stock servers; the SFTP-only accounts need it too, since
                # sshd refuses an unknown subsystem before any ForceCommand.
                "Subsystem sftp internal-sftp",
                *MATCH_BLOCKS,
                "",
            ]))
            self.pid_file.unlink(missing_ok=True)
            # sshd exits at once when another program took the port.
            started = subprocess.run([SSHD, "-f", str(config), "-E", str(self.log)]).returncode == 0
            if started and self._wait_listening():
                return self
            self.stop()
        raise RuntimeError(f"sshd did not start; see {self.log}")

    def _wait_listening(self, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                with socket.create_connection((self.host, self.port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def pid(self):
        try:
            return int(self.pid_file.read_text().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def stop(self):
        pid = self.pid()
        if pid is None:
            return
        try:
            os.kill(pid, 15)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and running(pid):
            time.sleep(0.02)
        self.pid_file.unlink(missing_ok=True)

    def fingerprint(self):
        """The host key's "SHA256:..." fingerprint as ssh-keygen prints it."""
        out = subprocess.run(["ssh-keygen", "-lf", str(self.host_key) + ".pub"], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        return re.search(r"SHA256:[A-Za-z0-9+/]+", out).group(0)

    def remove(self):
        self.stop()
        self.harness_keys.unlink(missing_ok=True)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.remove()
