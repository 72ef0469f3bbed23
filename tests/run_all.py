#!/usr/bin/env python3
"""Runs every test suite and ends with one line "N passed, N failed".

Suites: the native unit tests, the same unit tests built with MinGW and run
under Wine, the server-side backup program run with the local python3, the
end-to-end tests of the Windows program under Wine, and the hardening run
(unit tests under ASan/UBSan, fuzz targets over their corpora).
"""
import os
import socket
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from harness import accounts, databases  # noqa: E402
from harness.servers import BusySshServer, DropbearServer  # noqa: E402
from harness.sshd import SshServer, prepare_site  # noqa: E402
from harness.wine import WinePrefix, windows_path  # noqa: E402


KEY_PASSPHRASE = "Key-Passphrase-7"


class LoopbackServers:
    """The SSH servers the unit tests talk to, one per host-key kind and two
    set up without the password method (keyboard-interactive through PAM;
    keys only), Dropbear with an ECDSA and with an Ed25519 key, a server that
    is full and drops every new connection, the accounts of harness/accounts.py
    (login shells, SFTP only, nologin, no python3, a greeting),
    client keys of each kind that the keys-only server accepts, a listener
    that never answers, and a private MariaDB and PostgreSQL, all on
    127.0.0.1, described to the tests through TESMORA_TEST_* variables."""

    def __init__(self, work):
        self.servers = {kind: SshServer(kind.lower(), work / f"sshd-{kind.lower()}") for kind in ("ECDSA", "RSA", "ED25519")}
        self.servers["KBDINT"] = SshServer("ecdsa", work / "sshd-kbdint", auth="kbdint")
        self.servers["KEYS"] = SshServer("ecdsa", work / "sshd-keys", auth="keys")
        for kind in ("ECDSA", "ED25519"):
            self.servers[f"DROPBEAR_{kind}"] = DropbearServer(kind.lower(), work / f"dropbear-{kind.lower()}")
        self.servers["BUSY"] = BusySshServer("ecdsa", work / "sshd-busy")
        self.keys = work / "client-keys"
        self.silent = []
        self.databases = databases.DatabaseServers() if databases.available() else None

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def _start(self):
        # Every server, the accounts and the client keys side by side: each
        # mostly waits for key generation, a port or the user database. The
        # test user comes first, as every server start asks for it.
        accounts.ensure_test_user()
        with ThreadPoolExecutor(max_workers=len(self.servers) + 3) as pool:
            jobs = [pool.submit(server.start) for server in self.servers.values()]
            jobs.append(pool.submit(accounts.ensure_accounts))
            jobs.append(pool.submit(self._make_client_keys))
            if self.databases:
                jobs.append(pool.submit(self.databases.__enter__))
            for job in jobs:
                job.result()
        if self.databases:
            # Started once for every suite; the in-process ones read os.environ.
            os.environ.update(self.databases.env)
        # A listener that never accepts, its queue filled: connections to it
        # are never answered, which is how a dead address looks.
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        self.silent.append(listener)
        for _ in range(2):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
            self.silent.append(filler)
        # A listener whose system takes connections that nobody then speaks
        # on: a server that hangs before its greeting.
        self.silent.append(socket.create_server(("127.0.0.1", 0), backlog=64))

    def _make_client_keys(self):
        # OpenSSH-format client keys as users bring them: two encrypted.
        self.keys.mkdir(parents=True, exist_ok=True)
        for kind, options, passphrase in [("ed25519", [], KEY_PASSPHRASE), ("ecdsa", ["-b", "384"], ""),
                                          ("rsa", ["-b", "3072"], KEY_PASSPHRASE)]:
            key = self.keys / f"key_{kind}"
            subprocess.run(["ssh-keygen", "-q", "-t", kind, *options, "-N", passphrase, "-f", str(key)], check=True)
            self.servers["KEYS"].authorize(key.with_suffix(".pub").read_text())
        # Samples for the key-file reader's tests.
        for name, options, passphrase in [
                ("ed25519", ["-t", "ed25519"], ""), ("ed25519_ctr", ["-t", "ed25519", "-a", "2"], "correct horse"),
                ("ed25519_gcm", ["-t", "ed25519", "-a", "1", "-Z", "aes256-gcm@openssh.com"], "pw"),
                ("ecdsa", ["-t", "ecdsa", "-b", "256"], ""), ("ecdsa_other", ["-t", "ecdsa", "-b", "256"], ""),
                ("rsa", ["-t", "rsa", "-b", "1024"], "")]:
            subprocess.run(["ssh-keygen", "-q", *options, "-N", passphrase, "-f", str(self.keys / f"sample_{name}")],
                           check=True)

    def __exit__(self, *exc):
        if self.databases:
            self.databases.__exit__()
        for s in self.silent:
            s.close()
        with ThreadPoolExecutor(max_workers=len(self.servers)) as pool:
            list(pool.map(lambda server: server.remove(), self.servers.values()))

    def environment(self, path_form=str):
        ecdsa = self.servers["ECDSA"]
        env = {
            "TESMORA_TEST_SSH_HOST": ecdsa.host,
            "TESMORA_TEST_SSH_USER": ecdsa.user,
            "TESMORA_TEST_SSH_PASSWORD": ecdsa.password,
            "TESMORA_TEST_SSH_SITE": str(prepare_site()),
            "TESMORA_TEST_SILENT_PORT": str(self.silent[0].getsockname()[1]),
            "TESMORA_TEST_MUTE_PORT": str(self.silent[-1].getsockname()[1]),
            "TESMORA_TEST_KEY_FOLDER": path_form(self.keys),
            "TESMORA_TEST_KEY_PASSPHRASE": KEY_PASSPHRASE,
        }
        env.update(self.databases.env if self.databases else {})
        env.update(accounts.environment())
        for kind, server in self.servers.items():
            env[f"TESMORA_TEST_SSH_{kind}_HOST"] = server.host
            env[f"TESMORA_TEST_SSH_{kind}_PORT"] = str(server.port)
            env[f"TESMORA_TEST_SSH_{kind}_FINGERPRINT"] = server.fingerprint()
            env[f"TESMORA_TEST_SSH_{kind}_LOG"] = path_form(server.log)
        return env


def gtest_counts(xml_path):
    passed = failed = skipped = 0
    for case in ET.parse(xml_path).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def run_gtest(name, command, xml_path, env=None):
    print(f"==> {name}", flush=True)
    result = subprocess.run(command, env=env)
    if not Path(xml_path).exists():
        print(f"{name}: no result file; exit code {result.returncode}")
        return 0, 1, 0
    passed, failed, skipped = gtest_counts(xml_path)
    if result.returncode != 0 and failed == 0:
        failed = 1  # the program failed outside any test
    print(f"{name}: {passed} passed, {failed} failed, {skipped} skipped", flush=True)
    return passed, failed, skipped


def run_native_unit_tests(work, servers):
    env = dict(os.environ)
    env.update(servers.environment())
    env["TESMORA_TEST_LARGE_STREAM_MIB"] = "1024"
    # Keep the tests' local data directory out of the real home.
    env["XDG_DATA_HOME"] = str(work / "native-data-home")
    xml = work / "native.xml"
    return run_gtest("native unit tests", [str(REPO / "build/native/tesmora_unit_tests"), f"--gtest_output=xml:{xml}"],
                     xml, env)


def run_wine_unit_tests(work, servers):
    wine = WinePrefix().ensure()
    env = dict(wine.env)
    env.update(servers.environment(windows_path))
    # Wine's sockets and hashing are slower; the full gibibyte runs natively.
    env["TESMORA_TEST_LARGE_STREAM_MIB"] = "128"
    # A Russian Windows, as the program's users have: system texts in Russian
    # and an ANSI code page that is not UTF-8.
    env.update({"LC_ALL": "ru_RU.UTF-8", "LANG": "ru_RU.UTF-8", "TESMORA_TEST_RUSSIAN_SYSTEM": "1"})
    xml = work / "wine.xml"
    command = ["wine", str(REPO / "build/windows/tesmora_unit_tests.exe"), f"--gtest_output=xml:{windows_path(xml)}"]
    return run_gtest("unit tests under Wine", command, xml, env)


def run_python_tests(name, folder):
    print(f"==> {name}", flush=True)
    # Import the suite's modules afresh: they read their settings when loaded.
    for module_name, module in list(sys.modules.items()):
        if str(getattr(module, "__file__", "") or "").startswith(str(folder)):
            del sys.modules[module_name]
    suite = unittest.defaultTestLoader.discover(str(folder), pattern="test_*.py", top_level_dir=str(folder))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print(f"{name}: {passed} passed, {failed} failed, {skipped} skipped", flush=True)
    return passed, failed, skipped


def pyenv_pythons():
    """(version, python3) of each Python under ~/.pyenv, oldest first."""
    found = []
    for folder in Path.home().joinpath(".pyenv", "versions").glob("3.*"):
        parts = folder.name.split(".")
        if all(part.isdigit() for part in parts) and (folder / "bin" / "python3").exists():
            found.append((tuple(int(part) for part in parts[:2]), str(folder / "bin" / "python3")))
    return sorted(found)


def run_remote_program_tests(work, servers):
    """The server program under this machine's python3, then under the oldest
    supported one (3.7, the first with SQLite's backup API) and the newest
    one installed, each once."""
    totals = list(run_python_tests("server-side program tests", REPO / "tests" / "remote"))
    supported = [python for version, python in pyenv_pythons() if version >= (3, 7)]
    seen = {os.path.realpath(sys.executable)}
    for python in supported[:1] + supported[-1:]:
        if os.path.realpath(python) in seen:
            continue
        seen.add(os.path.realpath(python))
        os.environ["TESMORA_TEST_PYTHON"] = python
        try:
            for i, n in enumerate(run_python_tests(f"server-side program tests on {python}", REPO / "tests" / "remote")):
                totals[i] += n
        finally:
            del os.environ["TESMORA_TEST_PYTHON"]
    return tuple(totals)


def run_end_to_end_tests(work, servers):
    return run_python_tests("end-to-end tests under Wine", REPO / "tests" / "e2e")


def run_hardening(work, servers):
    """scripts/hardening.sh: the unit tests under ASan/UBSan and each fuzz
    target over its corpus, one count per part from its summary lines."""
    print("==> hardening (sanitizers and fuzz targets)", flush=True)
    env = dict(os.environ)
    env.update(servers.environment())
    process = subprocess.Popen(["bash", str(REPO / "scripts" / "hardening.sh")], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace", env=env)
    passed = failed = 0
    for line in process.stdout:
        print(line, end="", flush=True)
        if line.startswith("hardening: PASS "):
            passed += 1
        elif line.startswith("hardening: FAIL "):
            failed += 1
    if process.wait() != 0 and failed == 0:
        failed = 1  # the script failed outside any part
    print(f"hardening (sanitizers and fuzz targets): {passed} passed, {failed} failed, 0 skipped", flush=True)
    return passed, failed, 0


def main():
    totals = [0, 0, 0]
    with tempfile.TemporaryDirectory(prefix="tesmora-tests-") as tmp:
        work = Path(tmp)
        with LoopbackServers(work) as servers:
            for suite in (run_native_unit_tests, run_wine_unit_tests, run_remote_program_tests, run_end_to_end_tests,
                          run_hardening):
                for i, n in enumerate(suite(work, servers)):
                    totals[i] += n
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    return 0 if totals[1] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
