#!/usr/bin/env python3
"""Backups over a home link, simulated: a loopback TCP proxy in front of the
SSH server delays each direction by 20 ms and caps it at 50 Mbit/s (tc
netem is not available here). Prints, as name=value lines:

- link_full_s and link_full_ratio_vs_ssh_tar_gzip1: the first `--backup-now`
  of a ~200 MB site, most of it media as on most sites, against `ssh host
  'tar -cf - TREE | gzip -1' > FILE` through the same proxy;
- link_second_s, rsync_second_s and incremental_ratio_vs_rsync: the second
  backup after a scripted day of edits (150 pages changed, 3 new uploads, 200
  rows of the SQLite database updated) against `rsync -a --link-dest` of the
  same two states through the proxy;
- incremental_bytes_fraction: the bytes the server sent in the second backup
  over the size of the full archive;
- resume_resent_fraction: a first backup onto another drive whose link is cut
  once 60 % of a full run's bytes went down, then the run that follows: the
  bytes of both beyond those of a whole first run, over the archive.
"""
import os
import queue
import random
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import types
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))
import run_bench  # noqa: E402
from run_bench import TEST_USER, BoundDrive, SshServer, WinePrefix, ensure_test_user, timed  # noqa: E402

DELAY_S = 0.020
RATE = 50e6 / 8  # bytes per second, each direction
PIECE = 16 << 10


class SlowLink:
    """Forwards 127.0.0.1:port to target_port with a delay and a rate cap per
    direction, counting the bytes that go each way."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sent = {"up": 0, "down": 0}
        self.cut_at = None  # down bytes after which every connection drops
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._pump(client, server, "up")
            self._pump(server, client, "down")

    def _pump(self, source, target, direction):
        # A bounded queue stands for the link's buffers: a full one holds the
        # sender back as a real link's would.
        pieces = queue.Queue(32)

        def read():
            while True:
                try:
                    data = source.recv(PIECE)
                except OSError:
                    data = b""
                pieces.put((time.monotonic() + DELAY_S, data))
                if not data:
                    return

        def write():
            free_at = time.monotonic()
            while True:
                due, data = pieces.get()
                now = time.monotonic()
                if due > now:
                    time.sleep(due - now)
                if not data:
                    try:
                        target.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                free_at = max(free_at, time.monotonic()) + len(data) / RATE
                wait = free_at - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    target.sendall(data)
                except OSError:
                    return
                with self.lock:
                    self.sent[direction] += len(data)
                    cut = direction == "down" and self.cut_at is not None and self.sent["down"] >= self.cut_at
                if cut:
                    for sock in (source, target):
                        try:
                            sock.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass
                    return

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()

    def down_bytes(self):
        with self.lock:
            return self.sent["down"]


def day_of_edits(tree, rng):
    """150 pages rewritten, 3 new uploads, 200 database rows updated."""
    pages = sorted((tree / "www").rglob("*.php"))
    for page in rng.sample(pages, 150):
        page.write_bytes(page.read_bytes()[::-1] + b" edited")
    uploads = [tree / "media" / f"upload{number}.jpg" for number in range(3)]
    for upload in uploads:
        upload.write_bytes(os.urandom(1 << 20))
    db = sqlite3.connect(tree / "site.db")
    rows = db.execute("SELECT MAX(id) FROM t").fetchone()[0]
    db.executemany("UPDATE t SET body = ? WHERE id = ?", (("edited %d" % n, n) for n in rng.sample(range(1, rows), 200)))
    db.commit()
    db.close()
    # Only the new files: a chown of every file would change every ctime.
    subprocess.run(["chown", f"{TEST_USER}:{TEST_USER}"] + [str(u) for u in uploads], check=True)


def main():
    home = ensure_test_user()
    pristine = run_bench.realistic_tree(home / "bench-link-site", scale=0.35, logs_scale=0.1, media_mib=120)
    tree = home / "bench-link-tree"
    shutil.rmtree(tree, ignore_errors=True)
    subprocess.run(["cp", "-a", str(pristine), str(tree)], check=True)
    time.sleep(4)  # the copy's files must not look changed just before the first scan
    size = sum(p.stat().st_size for p in tree.rglob("*") if p.is_file())
    wine = WinePrefix().ensure()
    figures = {"link_site_mb": f"{size / 1e6:.0f}"}
    with tempfile.TemporaryDirectory(prefix="tesmora-link-bench-") as tmp, SshServer("ecdsa") as server:
        tmp = Path(tmp)
        link = SlowLink(server.port)
        linked = types.SimpleNamespace(host=server.host, port=link.port, user=server.user, password=server.password,
                                       fingerprint=server.fingerprint)
        ssh = (f"sshpass -p '{server.password}' ssh -p {link.port} -o StrictHostKeyChecking=no "
               f"-o UserKnownHostsFile=/dev/null -o LogLevel=ERROR")
        drive = BoundDrive(wine, tmp / "drive", "e", linked, [tree])
        run_bench.keep_wine_running(wine)
        try:
            t_pipeline = timed(f"{ssh} {server.user}@{server.host} 'tar -cf - {tree} 2>/dev/null | gzip -1' "
                               f"> {tmp / 'pipeline.tar.gz'}", shell=True)
            before = link.down_bytes()
            t_full = timed(["wine", str(drive.program), "--backup-now"], env=wine.env)
            full_bytes = link.down_bytes() - before
            archive = os.path.getsize(os.path.join(drive.snapshots()[-1], "site.tar.gz"))
            rsync = ["rsync", "-a", "-e", ssh]
            timed(rsync + [f"{server.user}@{server.host}:{tree}/", str(tmp / "rsync-1")])
            day_of_edits(tree, random.Random(11))
            before = link.down_bytes()
            t_second = timed(["wine", str(drive.program), "--backup-now"], env=wine.env)
            second_bytes = link.down_bytes() - before
            t_rsync = timed(rsync + ["--link-dest", str(tmp / "rsync-1"), f"{server.user}@{server.host}:{tree}/",
                                     str(tmp / "rsync-2")])
            drive.unmap()
            drive = BoundDrive(wine, tmp / "drive-resumed", "e", linked, [tree])
            before = link.down_bytes()
            link.cut_at = before + 0.6 * full_bytes
            cut = subprocess.run(["wine", str(drive.program), "--backup-now"], env=wine.env).returncode
            link.cut_at = None
            cut_bytes = link.down_bytes() - before
            before = link.down_bytes()
            subprocess.run(["wine", str(drive.program), "--backup-now"], env=wine.env, check=True)
            resumed_bytes = link.down_bytes() - before
            resumed_archive = os.path.getsize(os.path.join(drive.snapshots()[-1], "site.tar.gz"))
        finally:
            drive.unmap()
            wine.reset_program_state()
            link.close()
    wine.kill_server()
    shutil.rmtree(tree, ignore_errors=True)
    figures.update({
        "link_full_s": f"{t_full:.1f}", "link_ssh_tar_gzip1_s": f"{t_pipeline:.1f}",
        "link_full_ratio_vs_ssh_tar_gzip1": f"{t_pipeline / t_full:.2f}",
        "link_second_s": f"{t_second:.1f}", "rsync_second_s": f"{t_rsync:.1f}",
        "incremental_ratio_vs_rsync": f"{t_second / t_rsync:.2f}",
        "incremental_bytes_fraction": f"{second_bytes / archive:.3f}",
        "cut_run_exit_status": str(cut), "cut_run_mb": f"{cut_bytes / 1e6:.1f}",
        "resumed_run_mb": f"{resumed_bytes / 1e6:.1f}",
        # The edits of the day make this archive a little larger than the first.
        "resume_resent_fraction": f"{(cut_bytes + resumed_bytes - full_bytes * resumed_archive / archive) / resumed_archive:.3f}"})
    for name, value in figures.items():
        print(f"{name}={value}")


if __name__ == "__main__":
    main()
