#!/usr/bin/env python3
"""Every benchmark figure, printed as name=value lines (no assertions).

- transfer: the native client against the OpenSSH client on the same stream
  (bench/run_transfer_bench.py);
- remote_ratio_vs_tar_gzip1: the embedded server program over a realistic
  site tree against `tar -cf - TREE | gzip -1`, both run locally, and
  remote_cpu_ratio_vs_tar_gzip1: the CPU seconds per GB of site that the
  server spends on each, the program's over the pipeline's (`run_bench.py
  remote` prints these figures alone);
- remote_peak_rss_ratio_200k_vs_2k_files: peak resident memory of the server
  program over 200 000 small files against 2 000;
- backup_ratio_vs_pipeline: the whole `--backup-now` under Wine, the proof of
  the archive and its read-back included, against `ssh host 'tar -cf - TREE |
  gzip -1' | tee OUT | sha256sum`, which proves nothing, with the wineserver
  kept running as Windows keeps its services (`run_bench.py backup` prints
  these figures alone);
- verify_s: the read-back of the bench archive past the system cache, and
  verify_ratio_vs_sha256sum_tar: a whole verification of its snapshot against
  `sha256sum` followed by `tar -tzf`, both natively;
- restore_ratio_vs_tar_x: a restore of that snapshot against `tar -xzf` into
  an empty folder, natively;
- restore_remote_ratio_vs_ssh_tar_x: `--restore-to-server` of that snapshot
  under Wine into a new folder on the loopback server, its local verification
  included, against `ssh host 'tar -xzf - -C DIR' < site.tar.gz`
  (`run_bench.py restore-remote` prints this figure alone);
- db_dump_ratio_vs_mysqldump_gzip1: the server program over SSH backing up a
  site whose bulk is a 200 MB MariaDB database (found in its wp-config.php)
  against `ssh host 'mysqldump --single-transaction ... | gzip -1' > file`,
  both against a private MariaDB on loopback (`run_bench.py db` prints this
  figure alone);
- encrypt_ratio_vs_openssl_chacha20: age encryption of a 1 GB file by the
  native core against `openssl enc -chacha20`, and identity_unlock_s: the
  opening of an identity file at its scrypt work factor (`run_bench.py
  encrypt` prints these figures alone);
- history_depth_ratio_vs_keep_n: a simulated year of runs every 4 hours on
  weekdays with a three-week gap, the history the fitted policy keeps over
  a flat keep-N in the same space (`run_bench.py history` prints it alone);
- encrypted_backup_ratio_vs_plain: a whole first run encrypted over a plain
  one, under Wine (`run_bench.py backup-encrypted` prints it alone);
- scheduled_idle_ratio_vs_self_test: a `--scheduled` start that finds nothing
  due against `--self-test`, under Wine;
- memory_ratio_2g_vs_64m: peak resident memory of `--backup-now` for a 2 GiB
  and a 64 MiB site;
- over a simulated home link: a first and a second backup against `ssh tar |
  gzip -1` and `rsync --link-dest` (bench/run_link_bench.py).
"""
import atexit
import json
import os
import random
import resource
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from harness.databases import DatabaseServers  # noqa: E402
from harness.site import BoundDrive  # noqa: E402
from harness.sshd import TEST_USER, SshServer, ensure_test_user  # noqa: E402
from harness.wine import WinePrefix, windows_path  # noqa: E402
sys.path.insert(0, str(REPO / "tests" / "remote"))
# The loader and the program as the client sends them.
from test_remote_backup import LOADER, SCRIPT, frame, json_quote  # noqa: E402
# The client's part of a run that sends an index.
from test_remote_segments import assemble, numbered  # noqa: E402



def realistic_tree(root, scale=1.0, logs_scale=None, media_mib=None):
    """About 20 000 small files, two large compressible logs, some
    incompressible media and a SQLite database, scaled (the logs and the
    media on their own when given)."""
    if (root / ".complete").exists():
        return root
    shutil.rmtree(root, ignore_errors=True)
    rng = random.Random(7)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(2000)]
    for i in range(int(20000 * scale)):
        folder = root / "www" / f"d{i % 200}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"page{i}.php").write_bytes(b" ".join(rng.choice(words) for _ in range(rng.randint(50, 600))))
    logs = root / "logs"
    logs.mkdir(parents=True)
    for name in ("access.log", "error.log"):
        with open(logs / name, "wb") as f:
            line = b'127.0.0.1 - - [06/Dec/2026:10:00:00 +0000] "GET /index.php HTTP/1.1" 200 5123 "-" "Mozilla/5.0"\n'
            for _ in range(int(2_000_000 * (scale if logs_scale is None else logs_scale))):
                f.write(line)
    media = root / "media"
    media.mkdir()
    for i in range(int(40 * scale if media_mib is None else media_mib) or 1):
        (media / f"photo{i}.jpg").write_bytes(os.urandom(1 << 20))
    db = sqlite3.connect(root / "site.db")
    db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, body TEXT)")
    body = "x" * 900
    db.executemany("INSERT INTO t (body) VALUES (?)", ((body,) for _ in range(int(100_000 * scale))))
    db.commit()
    db.close()
    (root / ".complete").write_text("ok")
    subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(root)], check=True)
    return root


def timed(command, **kwargs):
    started = time.monotonic()
    subprocess.run(command, check=True, **kwargs)
    return time.monotonic() - started


def cpu_timed(command, **kwargs):
    """Seconds and CPU seconds (user and system, of every process it ran) of
    a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    seconds = timed(command, **kwargs)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return seconds, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def remote_program_input(roots, request=None):
    """A file holding the program's standard input for a backup of roots
    (or the request given): the compressed program, then the request, each
    framed."""
    if request is None:
        request = b"[" + b",".join(json_quote(str(root)) for root in roots) + b"]"
    handle, path = tempfile.mkstemp(prefix="tesmora-bench-input-")
    with os.fdopen(handle, "wb") as out:
        out.write(frame(zlib.compress(SCRIPT, 9)) + frame(request))
    os.chmod(path, 0o644)
    atexit.register(os.unlink, path)
    return path


def remote_program_command(roots, request=None):
    """The client's loader with the program on standard input."""
    return ["sh", "-c", "exec " + LOADER.decode() + ' <"$1"', "sh", remote_program_input(roots, request)]


def small_files_tree(root, count):
    """count files of 100 bytes, 1 000 to a folder, so that only the number
    of files differs between two trees."""
    if (root / ".complete").exists():
        return root
    shutil.rmtree(root, ignore_errors=True)
    for i in range(count):
        folder = root / f"d{i // 1000:03d}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"f{i:06d}.txt").write_bytes(b"%099d\n" % i)
    (root / ".complete").write_text("ok")
    subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(root)], check=True)
    return root


def keep_wine_running(wine):
    """Restarts the wineserver to stay up between programs. Left alone it
    exits three seconds after the last program, and the next start then pays
    for Wine's own services, which Windows keeps running anyway."""
    wine.kill_server()
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=wine.env, check=True)


def alternately(runs, first, second):
    """Median seconds of two actions run in turns, so that both see the same
    machine."""
    a, b = [], []
    for _ in range(runs):
        a.append(first())
        b.append(second())
    return statistics.median(a), statistics.median(b)


def idle_costs(wine, program, runs=15):
    """Median seconds of a `--scheduled` start that finds nothing due and of
    `--self-test`, run alternately after a warm-up so that both see the same
    machine (the first Wine start of a while also starts the wineserver)."""
    for mode in ("--self-test", "--scheduled"):
        subprocess.run(["wine", str(program), mode], env=wine.env, check=True)
    return alternately(runs, lambda: timed(["wine", str(program), "--scheduled"], env=wine.env),
                       lambda: timed(["wine", str(program), "--self-test"], env=wine.env))


def encryption_figures(home):
    """age encryption of a 1 GB archive-like (incompressible) file by the
    native core against `openssl enc -chacha20` on the same file, both from
    the page cache, medians of three turns taken alternately; and the time
    identity.age takes to open at its scrypt work factor."""
    data = home / "bench-1g.bin"
    if not data.exists() or data.stat().st_size != 1 << 30:
        with open(data, "wb") as f:
            for _ in range(1024):
                f.write(os.urandom(1 << 20))
    bench = REPO / "build" / "native" / "tesmora_archive_bench"
    ours = [str(bench), "encrypt", str(data)]
    theirs = ["openssl", "enc", "-chacha20", "-K", "00" * 32, "-iv", "00" * 16, "-in", str(data), "-out", os.devnull]
    t_ours, t_theirs = alternately(3, lambda: timed(ours, stdout=subprocess.DEVNULL),
                                   lambda: timed(theirs, stdout=subprocess.DEVNULL))
    unlock = subprocess.run([str(bench), "unlock"], stdout=subprocess.PIPE, text=True, check=True).stdout
    return {"encrypt_s": f"{t_ours:.2f}", "openssl_chacha20_s": f"{t_theirs:.2f}",
            "encrypt_ratio_vs_openssl_chacha20": f"{t_theirs / t_ours:.2f}",
            "identity_unlock_s": unlock.strip().partition("=")[2]}


def archive_figures(snapshot, binding_id, tmp):
    """The native core's verification and restore of one snapshot against the
    usual tools on the same archive."""
    bench = REPO / "build" / "native" / "tesmora_archive_bench"
    archive = snapshot / "site.tar.gz"

    def seconds(*args):
        out = subprocess.run([str(bench), *map(str, args)], stdout=subprocess.PIPE, text=True, check=True).stdout
        return float(out.split("seconds=")[1])

    def restored(tool):
        folder = tmp / "restore"
        shutil.rmtree(folder, ignore_errors=True)
        if tool == "ours":
            return seconds("restore", snapshot, folder)
        folder.mkdir()
        return timed(["tar", "-xzf", str(archive), "-C", str(folder)])

    readback = statistics.median(seconds("readback", archive) for _ in range(3))
    verify, tools = alternately(3, lambda: seconds("verify", snapshot, binding_id),
                                lambda: timed(f"sha256sum {archive} >/dev/null && tar -tzf {archive} >/dev/null",
                                              shell=True))
    restore, tar = alternately(3, lambda: restored("ours"), lambda: restored("tar"))
    shutil.rmtree(tmp / "restore", ignore_errors=True)
    return {"verify_s": f"{readback:.2f}", "verify_snapshot_s": f"{verify:.2f}",
            "sha256sum_tar_t_s": f"{tools:.2f}", "verify_ratio_vs_sha256sum_tar": f"{tools / verify:.2f}",
            "restore_s": f"{restore:.2f}", "tar_x_s": f"{tar:.2f}", "restore_ratio_vs_tar_x": f"{tar / restore:.2f}"}


def server_restore_figures(wine, drive, server, home):
    """The way back to the server against the plain ssh and tar pipeline, into
    a new folder each run."""
    snapshot = drive.snapshots()[-1]
    targets = {"ours": home / "bench-restored", "tar": home / "bench-restored-tar"}

    def restored(tool):
        shutil.rmtree(targets[tool], ignore_errors=True)
        if tool == "ours":
            return timed(["wine", str(drive.program), "--restore-to-server", windows_path(snapshot),
                          str(targets[tool])], env=wine.env, stdout=subprocess.DEVNULL)
        return timed("sshpass -p '%s' ssh -p %d -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                     "-o LogLevel=ERROR %s@%s 'mkdir %s && tar -xzf - -C %s' < %s"
                     % (server.password, server.port, server.user, server.host, targets[tool], targets[tool],
                        snapshot / "site.tar.gz"), shell=True)

    ours, tar = alternately(3, lambda: restored("ours"), lambda: restored("tar"))
    for target in targets.values():
        shutil.rmtree(target, ignore_errors=True)
    return {"restore_remote_s": f"{ours:.2f}", "ssh_tar_x_s": f"{tar:.2f}",
            "restore_remote_ratio_vs_ssh_tar_x": f"{tar / ours:.2f}"}


def peak_rss_of(command, env):
    """Peak resident memory (bytes) of a command, read by GNU time."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *command], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1]) * 1024


def remote_program_figures(tree):
    """The server program against `tar | gzip -1` over the same tree: speed
    and the CPU seconds per GB of site, medians of three turns each. The
    request is a first run's as the client sends it: with an empty index,
    so that the segments' digests and frames are timed too."""
    # The program's progress lines on standard error are not figures.
    ours, theirs = [], []
    first_run = json.dumps({"paths": [str(tree)], "previous": {}}).encode()
    # The python3 that a login on the server finds, as over SSH; a version
    # manager's shim would add its own start to every turn.
    system = dict(os.environ, PATH="/usr/bin:/bin")
    for _ in range(3):
        ours.append(cpu_timed(remote_program_command([], first_run), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=system))
        theirs.append(cpu_timed(f"tar -cf - {tree} 2>/dev/null | gzip -1 > /dev/null", shell=True))
    (ours_s, ours_cpu), (theirs_s, theirs_cpu) = ([statistics.median(x) for x in zip(*runs)] for runs in (ours, theirs))
    size = sum(p.stat().st_size for p in tree.rglob("*") if p.is_file())
    return {"tree_mb": f"{size / 1e6:.0f}", "remote_program_mb_s": f"{size / 1e6 / ours_s:.1f}",
            "tar_gzip1_mb_s": f"{size / 1e6 / theirs_s:.1f}", "remote_ratio_vs_tar_gzip1": f"{theirs_s / ours_s:.2f}",
            "remote_cpu_s_per_gb": f"{ours_cpu / (size / 1e9):.2f}",
            "tar_gzip1_cpu_s_per_gb": f"{theirs_cpu / (size / 1e9):.2f}",
            "remote_cpu_ratio_vs_tar_gzip1": f"{ours_cpu / theirs_cpu:.2f}"}


def database_dump_figures(home):
    """A backup of a site whose bulk is a 200 MB database against mysqldump
    piped into gzip -1, both over SSH from a private MariaDB, medians of
    three turns taken alternately."""
    site, output = home / "bench-db-site", home / "bench-db.out"
    password = "Bench-Db-Passw0rd"
    with DatabaseServers() as databases, SshServer("ecdsa") as server:
        port = databases.env["TESMORA_TEST_MARIADB_PORT"]
        databases.mysql("CREATE DATABASE bench; CREATE USER bench@'127.0.0.1' IDENTIFIED BY '%s';"
                        "GRANT ALL ON bench.* TO bench@'127.0.0.1'" % password)
        # Text that compresses as a site's posts do; 400 000 rows of ~500 bytes.
        databases.mysql("CREATE TABLE posts (id INT PRIMARY KEY, title VARCHAR(200), body TEXT) ENGINE=InnoDB;"
                        "SET SESSION max_recursive_iterations = 1000000;"
                        "INSERT INTO posts WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s "
                        "WHERE n < 400000) SELECT n, CONCAT('Post number ', n, ' about ', MD5(n)), "
                        "CONCAT(REPEAT(CONCAT(MD5(n), ' lorem ipsum dolor sit amet '), 6), SHA1(n)) FROM s", "bench")
        shutil.rmtree(site, ignore_errors=True)
        site.mkdir()
        (site / "wp-config.php").write_text("<?php\ndefine( 'DB_NAME', 'bench' );\ndefine( 'DB_USER', 'bench' );\n"
                                            "define( 'DB_PASSWORD', '%s' );\ndefine( 'DB_HOST', '127.0.0.1:%s' );\n"
                                            % (password, port))
        (site / ".my.cnf").write_text("[client]\nuser=bench\npassword=%s\nhost=127.0.0.1\nport=%s\n"
                                      % (password, port))
        (site / ".my.cnf").chmod(0o600)
        subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(site)], check=True)
        ssh = ["sshpass", "-p", server.password, "ssh", "-p", str(server.port), "-o", "StrictHostKeyChecking=no",
               "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", f"{server.user}@{server.host}"]

        def run(remote, stdin=None):
            with open(output, "wb") as out, open(stdin or os.devnull, "rb") as source:
                return timed(ssh + [remote], stdin=source, stdout=out, stderr=subprocess.DEVNULL)
        ours = LOADER.decode()
        program_input = remote_program_input([str(site)])
        theirs = ("mysqldump --defaults-file=%s --single-transaction --quick --routines --triggers --hex-blob "
                  "--no-tablespaces bench | gzip -1" % (site / ".my.cnf"))
        t_ours, t_theirs = alternately(3, lambda: run(ours, program_input), lambda: run(theirs))
        size = int(databases.mysql("SELECT SUM(data_length) FROM information_schema.tables "
                                   "WHERE table_schema = 'bench'").stdout)

        # A day's edits of the database, then a run that builds on the last.
        def framed(previous, archive=b""):
            run(ours, remote_program_input([], json.dumps({"paths": [str(site)], "previous": previous}).encode()))
            wire = output.read_bytes()
            return assemble(wire, numbered(previous, archive)) + (len(wire),)
        archive, index, _ = framed({})
        databases.mysql("UPDATE posts SET body = CONCAT(body, ' edited') WHERE id % 2000 = 7", "bench")
        changed, _, wire = framed(index, archive)
        output.unlink()
    shutil.rmtree(site, ignore_errors=True)
    return {"db_mb": f"{size / 1e6:.0f}", "db_backup_s": f"{t_ours:.2f}", "mysqldump_gzip1_s": f"{t_theirs:.2f}",
            "db_200_rows_changed_bytes_fraction": f"{wire / len(changed):.3f}",
            "db_dump_ratio_vs_mysqldump_gzip1": f"{t_theirs / t_ours:.2f}"}


def backup_figures(wine, drive, server, tree, tmp):
    """A whole first run against the ssh, tar and gzip pipeline, medians of
    three turns taken alternately."""
    pipeline = ("sshpass -p '%s' ssh -p %d -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                "-o LogLevel=ERROR %s@%s 'tar -cf - %s 2>/dev/null | gzip -1' | tee %s | sha256sum >/dev/null"
                % (server.password, server.port, server.user, server.host, tree, tmp / "pipeline.tar.gz"))

    def full_backup():
        # Every turn a first run: with a snapshot to build on, it would send only changes.
        for snapshot in drive.snapshots():
            shutil.rmtree(snapshot)
        return timed(["wine", str(drive.program), "--backup-now"], env=wine.env)
    t_backup, t_pipeline = alternately(3, full_backup, lambda: timed(pipeline, shell=True))
    return {"archive_mb": f"{(tmp / 'pipeline.tar.gz').stat().st_size / 1e6:.0f}", "backup_s": f"{t_backup:.1f}",
            "pipeline_s": f"{t_pipeline:.1f}", "backup_ratio_vs_pipeline": f"{t_pipeline / t_backup:.2f}"}


def history_figures():
    """A simulated year of runs every 4 hours on weekdays with a three-week
    gap: the history depth the fitted policy reaches over a flat keep-N in
    the same drive space (room for 20 archives)."""
    bench = REPO / "build" / "native" / "tesmora_archive_bench"
    lines = subprocess.run([str(bench), "history"], stdout=subprocess.PIPE, text=True, check=True).stdout
    return dict(line.split("=", 1) for line in lines.splitlines())


def encrypted_backup_figures(wine, drive, tmp):
    """A whole first run encrypted against a plain one, medians of three
    turns taken alternately; turning encryption on (the scrypt of
    identity.age) is outside the time."""
    def full_backup(encrypted):
        for snapshot in drive.snapshots():
            shutil.rmtree(snapshot)
        mode = ["on", windows_path(tmp / "sheet.txt")] if encrypted else ["off"]
        subprocess.run(["wine", str(drive.program), "--encryption", *mode], env=wine.env, check=True,
                       stdout=subprocess.DEVNULL)
        return timed(["wine", str(drive.program), "--backup-now"], env=wine.env)
    t_encrypted, t_plain = alternately(3, lambda: full_backup(True), lambda: full_backup(False))
    return {"encrypted_backup_s": f"{t_encrypted:.1f}", "plain_backup_s": f"{t_plain:.1f}",
            "encrypted_backup_ratio_vs_plain": f"{t_plain / t_encrypted:.2f}"}


def print_on_drive(tree, figures):
    """Prints the figures that figures(wine, drive, server, tmp) measures on a
    drive bound to a loopback server that holds tree."""
    wine = WinePrefix().ensure()
    with tempfile.TemporaryDirectory(prefix="tesmora-bench-") as tmp, SshServer("ecdsa") as server:
        drive = BoundDrive(wine, Path(tmp) / "drive", "e", server, [tree])
        keep_wine_running(wine)
        try:
            for name, value in figures(wine, drive, server, Path(tmp)).items():
                print(f"{name}={value}")
        finally:
            drive.unmap()
            wine.reset_program_state()
    wine.kill_server()


def main():
    home = ensure_test_user()
    if sys.argv[1:] == ["encrypt"]:
        for name, value in encryption_figures(home).items():
            print(f"{name}={value}")
        return
    if sys.argv[1:] == ["history"]:
        for name, value in history_figures().items():
            print(f"{name}={value}")
        return
    if sys.argv[1:] == ["db"]:
        for name, value in database_dump_figures(home).items():
            print(f"{name}={value}")
        return
    tree = realistic_tree(home / "bench-tree")
    if sys.argv[1:] == ["remote"]:
        for name, value in remote_program_figures(tree).items():
            print(f"{name}={value}")
        return
    if sys.argv[1:] == ["backup"]:
        return print_on_drive(tree, lambda wine, drive, server, tmp: backup_figures(wine, drive, server, tree, tmp))
    if sys.argv[1:] == ["backup-encrypted"]:
        return print_on_drive(tree, lambda wine, drive, server, tmp: encrypted_backup_figures(wine, drive, tmp))
    if sys.argv[1:] == ["restore-remote"]:
        def restored(wine, drive, server, tmp):
            subprocess.run(["wine", str(drive.program), "--backup-now"], env=wine.env, check=True)
            return server_restore_figures(wine, drive, server, home)
        return print_on_drive(tree, restored)
    figures = {}
    print(subprocess.run([sys.executable, str(REPO / "bench" / "run_transfer_bench.py")], stdout=subprocess.PIPE,
                         text=True, check=True).stdout.strip())
    figures.update(remote_program_figures(tree))
    figures.update(database_dump_figures(home))
    figures.update(encryption_figures(home))
    figures.update(history_figures())

    rss = {count: peak_rss_of(remote_program_command([str(small_files_tree(home / f"bench-files-{count}", count))]),
                              os.environ) for count in (2000, 200_000)}
    figures["remote_peak_rss_2k_files_mb"] = f"{rss[2000] / 1e6:.1f}"
    figures["remote_peak_rss_200k_files_mb"] = f"{rss[200_000] / 1e6:.1f}"
    figures["remote_peak_rss_ratio_200k_vs_2k_files"] = f"{rss[200_000] / rss[2000]:.2f}"

    wine = WinePrefix().ensure()
    with tempfile.TemporaryDirectory(prefix="tesmora-bench-") as tmp, SshServer("ecdsa") as server:
        tmp = Path(tmp)
        drive = BoundDrive(wine, tmp / "drive", "e", server, [tree])
        keep_wine_running(wine)
        try:
            figures.update(backup_figures(wine, drive, server, tree, tmp))
            figures.update(encrypted_backup_figures(wine, drive, tmp))
            figures.update(archive_figures(drive.snapshots()[-1], drive.id, tmp))
            figures.update(server_restore_figures(wine, drive, server, home))

            # The task starts the copy in the local data directory, which first
            # finds the bound drive; the copy on the drive is measured too.
            subprocess.run(["wine", str(drive.program), "--install"], env=wine.env, check=True)
            installed = wine.local_data_dir / "TesmoraBackup.exe"
            for label, program in (("", installed), ("drive_copy_", drive.program)):
                scheduled, self_test = idle_costs(wine, program)
                figures[label + "scheduled_idle_ms"] = f"{1000 * scheduled:.0f}"
                figures[label + "self_test_ms"] = f"{1000 * self_test:.0f}"
                figures[label + "scheduled_idle_ratio_vs_self_test"] = f"{scheduled / self_test:.2f}"
        finally:
            drive.unmap()
            wine.reset_program_state()

        peaks = {}
        for label, mib in (("64m", 64), ("2g", 2048)):
            site = home / f"bench-{label}"
            if not (site / "blob.bin").exists() or (site / "blob.bin").stat().st_size != mib << 20:
                site.mkdir(exist_ok=True)
                with open(site / "blob.bin", "wb") as f:
                    for _ in range(mib):
                        f.write(os.urandom(1 << 20))
                subprocess.run(["chown", "-R", f"{TEST_USER}:{TEST_USER}", str(site)], check=True)
            drive = BoundDrive(wine, tmp / f"drive-{label}", "e", server, [site])
            keep_wine_running(wine)
            try:
                peaks[label] = peak_rss_of(["wine", str(drive.program), "--backup-now"], wine.env)
            finally:
                drive.unmap()
        figures["peak_rss_64m_mb"] = f"{peaks['64m'] / 1e6:.1f}"
        figures["peak_rss_2g_mb"] = f"{peaks['2g'] / 1e6:.1f}"
        figures["memory_ratio_2g_vs_64m"] = f"{peaks['2g'] / peaks['64m']:.2f}"

    wine.kill_server()
    for name, value in figures.items():
        print(f"{name}={value}")
    print(subprocess.run([sys.executable, str(REPO / "bench" / "run_link_bench.py")], stdout=subprocess.PIPE,
                         text=True, check=True).stdout.strip())


if __name__ == "__main__":
    main()
