#!/usr/bin/env python3
"""Transfer throughput of the native client against the OpenSSH client.

Both receive the same incompressible stream (python3 copying one file to its
standard output) from the same loopback server in the same run; the OpenSSH
client pipes it through tee into a file and through sha256sum, as a person
would. Then the native client alone against servers that offer one cipher
each, so the cipher the client prefers can be chosen by measure. Prints
name=value lines.
"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from harness.sshd import SshServer, ensure_test_user  # noqa: E402

MIB = int(os.environ.get("TESMORA_BENCH_MIB", "1024"))


CIPHERS = ["aes128-gcm@openssh.com", "aes256-gcm@openssh.com", "chacha20-poly1305@openssh.com", "aes128-ctr"]


def best_of(runs, action):
    return min(action() for _ in range(runs))


def one_cipher_server(cipher):
    class OneCipher(SshServer):
        LIMITS = SshServer.LIMITS + [f"Ciphers {cipher}"]
    return OneCipher("ecdsa")


def main():
    home = ensure_test_user()
    remote_file = home / "bench.bin"
    if not remote_file.exists() or remote_file.stat().st_size != MIB << 20:
        with open(remote_file, "wb") as f:
            for _ in range(MIB):
                f.write(os.urandom(1 << 20))
    with tempfile.TemporaryDirectory(prefix="tesmora-bench-") as tmp, SshServer("ecdsa") as server:
        tmp = Path(tmp)

        def client_env(server):
            return dict(os.environ, XDG_DATA_HOME=str(tmp / "data"), TESMORA_TEST_SSH_HOST=server.host,
                        TESMORA_TEST_SSH_ECDSA_PORT=str(server.port), TESMORA_TEST_SSH_USER=server.user,
                        TESMORA_TEST_SSH_PASSWORD=server.password,
                        TESMORA_TEST_SSH_ECDSA_FINGERPRINT=server.fingerprint(),
                        TESMORA_BENCH_REMOTE_FILE=str(remote_file), TESMORA_BENCH_OUTPUT=str(tmp / "site.tar.gz"))
        env = client_env(server)
        copy = f"python3 -c \"import shutil,sys; shutil.copyfileobj(open('{remote_file}','rb'), sys.stdout.buffer, 1<<20)\""
        ssh = ["sshpass", "-p", server.password, "ssh", "-p", str(server.port), "-o", "StrictHostKeyChecking=no",
               "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", f"{server.user}@{server.host}", copy]

        chosen = {}

        def ours(environment=None):
            result = subprocess.run([str(REPO / "build/native/tesmora_transfer_bench")], env=environment or env,
                                    check=True, stdout=subprocess.PIPE, text=True)
            figures = dict(line.split("=", 1) for line in result.stdout.split())
            chosen["cipher"] = figures.get("cipher", "?")
            return float(figures["seconds"])

        def openssh_pipeline():
            started = time.monotonic()
            subprocess.run(" ".join(map(lambda a: "'" + a.replace("'", "'\\''") + "'", ssh)) +
                           f" | tee {tmp / 'openssh.out'} | sha256sum > /dev/null", shell=True, check=True)
            return time.monotonic() - started

        def openssh_null():
            started = time.monotonic()
            subprocess.run(ssh, check=True, stdout=subprocess.DEVNULL)
            return time.monotonic() - started

        megabytes = (MIB << 20) / 1e6
        t_ours, t_pipe, t_null = best_of(3, ours), best_of(3, openssh_pipeline), best_of(3, openssh_null)
        print(f"stream_mib={MIB}")
        print(f"native_cipher={chosen['cipher']}")
        print(f"native_mb_s={megabytes / t_ours:.1f}")
        print(f"openssh_pipeline_mb_s={megabytes / t_pipe:.1f}")
        print(f"openssh_null_mb_s={megabytes / t_null:.1f}")
        print(f"transfer_ratio_vs_openssh={t_pipe / t_ours:.2f}")
        print(f"transfer_ratio_vs_openssh_null={t_null / t_ours:.2f}")
        for cipher in CIPHERS:
            with one_cipher_server(cipher) as only:
                seconds = best_of(2, lambda: ours(client_env(only)))
            print(f"native_mb_s_{cipher.split('@')[0]}={megabytes / seconds:.1f}")


if __name__ == "__main__":
    main()
