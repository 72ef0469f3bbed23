"""Private MariaDB and PostgreSQL instances for the tests of database dumps.

Each has its own data folder, a socket in a folder of its own and a free port
on 127.0.0.1; neither is a system service, and both are stopped and removed
at the end. PostgreSQL runs as the distribution's postgres user, since it
refuses to run as root.
"""
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from .sshd import free_loopback_port

MARIADBD = shutil.which("mariadbd") or "/usr/sbin/mariadbd"
PG_BIN = Path("/usr/lib/postgresql/15/bin")


def available():
    return (shutil.which("mariadb-install-db") is not None and Path(MARIADBD).exists()
            and (PG_BIN / "initdb").exists())


def module_servers(fill):
    """For a test module's setUpModule: the servers that run_all started,
    or private ones, then fill(servers); unittest.SkipTest without them.
    The module's tearDownModule calls close() on what this returns."""
    if not available():
        import unittest
        raise unittest.SkipTest("MariaDB or PostgreSQL is not installed")
    attached = "TESMORA_TEST_MARIADB_SOCKET" in os.environ
    servers = DatabaseServers(os.environ) if attached else DatabaseServers().__enter__()
    try:
        fill(servers)
    except BaseException:
        servers.close()
        raise
    return servers


class DatabaseServers:
    def __init__(self, env=None):
        """With env (the TESMORA_TEST_* values of running servers), only
        talks to them."""
        self.folder = None
        self.mariadb = None
        self.env = dict(env or {})

    def __enter__(self):
        # Under /tmp, not a root-only folder: the postgres user must reach its own.
        self.folder = Path(tempfile.mkdtemp(prefix="tesmora-databases-"))
        self.folder.chmod(0o755)
        try:
            self._start_mariadb()
            self._start_postgresql()
        except BaseException:
            self.__exit__()
            raise
        return self

    def _start_mariadb(self):
        data, run = self.folder / "mariadb", self.folder / "mariadb-run"
        run.mkdir()
        run.chmod(0o755)
        subprocess.run(["mariadb-install-db", "--no-defaults", f"--datadir={data}", "--user=root",
                        "--auth-root-authentication-method=socket", "--skip-test-db"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        socket_path, port = run / "mysqld.sock", free_loopback_port()
        self.mariadb = subprocess.Popen(
            [MARIADBD, "--no-defaults", f"--datadir={data}", f"--socket={socket_path}", f"--port={port}",
             "--bind-address=127.0.0.1", "--skip-networking=0", "--user=root", f"--pid-file={run / 'pid'}",
             "--innodb-buffer-pool-size=32M", "--character-set-server=utf8mb4", f"--log-error={self.folder / 'mariadb.log'}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env.update(TESMORA_TEST_MARIADB_SOCKET=str(socket_path), TESMORA_TEST_MARIADB_PORT=str(port))
        for _ in range(300):
            if self.mysql("SELECT 1", check=False).returncode == 0:
                return
            if self.mariadb.poll() is not None:
                break
            time.sleep(0.1)
        raise RuntimeError("MariaDB did not start: " + (self.folder / "mariadb.log").read_text(errors="replace"))

    def _start_postgresql(self):
        data, run = self.folder / "postgresql", self.folder / "postgresql-run"
        for folder in (data, run):
            folder.mkdir(mode=0o700)
            shutil.chown(folder, "postgres", "postgres")
        port = free_loopback_port()
        subprocess.run(["runuser", "-u", "postgres", "--", str(PG_BIN / "initdb"), "-D", str(data), "-A", "peer",
                        "--auth-host=scram-sha-256", "-E", "UTF8", "--locale=C.UTF-8"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(data / "postgresql.conf", "a") as conf:
            conf.write(f"listen_addresses = '127.0.0.1'\nport = {port}\nunix_socket_directories = '{run}'\n"
                       "fsync = off\nshared_buffers = 16MB\n")
        self.env.update(TESMORA_TEST_PG_SOCKET_DIR=str(run), TESMORA_TEST_PG_PORT=str(port))
        self.pg_data = data
        subprocess.run(["runuser", "-u", "postgres", "--", str(PG_BIN / "pg_ctl"), "-D", str(data), "-w", "-l",
                        str(run / "postgresql.log"), "start"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def mysql(self, sql, database="", check=True, user=None):
        """Runs SQL as MariaDB's root over the private socket."""
        command = ["mariadb", "--no-defaults", "--default-character-set=utf8mb4", f"--socket={self.env['TESMORA_TEST_MARIADB_SOCKET']}", "-u", "root",
                   "-N", "-B", "-e", sql] + ([database] if database else [])
        return self._run(command, check)

    def psql(self, sql, database="postgres", check=True):
        """Runs SQL as PostgreSQL's superuser over the private socket."""
        command = ["runuser", "-u", "postgres", "--", "psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h",
                   self.env["TESMORA_TEST_PG_SOCKET_DIR"], "-p", self.env["TESMORA_TEST_PG_PORT"], "-d", database,
                   "-c", sql]
        return self._run(command, check)

    @staticmethod
    def _run(command, check):
        result = subprocess.run(command, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed: %s" % (command[0], result.stderr.strip()))
        return result

    def close(self):
        if self.folder:
            self.__exit__()

    def __exit__(self, *exc):
        if getattr(self, "pg_data", None):
            subprocess.run(["runuser", "-u", "postgres", "--", str(PG_BIN / "pg_ctl"), "-D", str(self.pg_data), "-m",
                            "immediate", "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.mariadb and self.mariadb.poll() is None:
            self.mariadb.terminate()
            try:
                self.mariadb.wait(30)
            except subprocess.TimeoutExpired:
                self.mariadb.kill()
                self.mariadb.wait()
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
