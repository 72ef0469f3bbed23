"""Tests of the server-side backup program, resources/remote_backup.py.

Each run launches it as the client does over SSH: a shell gets
python3 -c "exec(bytes.fromhex('...'))", the hexadecimal text carrying the
ROOTS line and the stored program bytes, with standard input at end-of-file.
"python3" runs TESMORA_TEST_PYTHON (default: the interpreter of the tests).
"""
import gzip
import io
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zlib
from pathlib import Path

SCRIPT = (Path(__file__).resolve().parents[2]
          / "resources" / "remote_backup.py").read_bytes()
PYTHON = os.environ.get("TESMORA_TEST_PYTHON") or sys.executable
MANIFEST = "__Tesmora_Backup__/manifest.json"


def json_quote(path):
    out = b'"'
    for byte in os.fsencode(path):
        out += (b"\\" + bytes([byte]) if byte in b'"\\' else
                b"\\u%04x" % byte if byte < 0x20 else bytes([byte]))
    return out + b'"'


def remote_command(roots):
    listing = b"[" + b",".join(json_quote(str(r)) for r in roots) + b"]"
    program = (b"ROOTS=__import__('json').loads(bytes.fromhex('"
               + listing.hex().encode() + b"'))\n" + SCRIPT)
    return (b"python3 -c \"exec(bytes.fromhex('" + program.hex().encode()
            + b"'))\"")


class BackupCase(unittest.TestCase):
    def setUp(self):
        holder = tempfile.TemporaryDirectory()
        self.addCleanup(holder.cleanup)
        self.top = Path(holder.name)
        self.site = self.top / "site"
        self.scratch = self.top / "scratch"   # the program's TMPDIR
        self.bin = self.top / "bin"           # the program's whole PATH
        for folder in (self.site, self.scratch, self.bin):
            folder.mkdir()
        self.tool("python3", "exec '%s' \"$@\"" % PYTHON)

    def tool(self, name, body):
        (self.bin / name).write_text("#!/bin/sh\n" + body + "\n")
        (self.bin / name).chmod(0o755)

    def start(self, roots):
        return subprocess.Popen(
            [b"/bin/sh", b"-c", remote_command(roots)], bufsize=0,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env={"PATH": str(self.bin), "TMPDIR": str(self.scratch)})

    def finish(self, proc, head=b""):
        """Collects the run; every run must remove its temporary folder."""
        out, err = proc.communicate(timeout=30)
        self.assertEqual(os.listdir(str(self.scratch)), [])
        self.status, self.out = proc.returncode, head + out
        self.err = err.decode("utf-8", "replace")
        return self.status

    def backup(self, *roots, proc=None, head=b""):
        proc = proc or self.start(roots or [self.site])
        self.assertEqual(self.finish(proc, head), 0, self.err)
        with tarfile.open(fileobj=io.BytesIO(self.out), mode="r:gz") as tar:
            self.members = [(m, tar.extractfile(m).read() if m.isreg()
                             else None) for m in tar]
        self.assertEqual(self.members[-1][0].name, MANIFEST)
        self.manifest = json.loads(self.members[-1][1].decode("utf-8"))
        self.names = [m.name for m, _ in self.members]

    def assert_failed(self, message):
        self.assertEqual(self.status, 1, self.err)
        self.assertIn(message, self.err.strip().splitlines()[-1])

    def arc(self, *paths):
        return [str(p).lstrip("/") for p in paths]


class FormTest(BackupCase):
    def test_stored_form_and_command_size(self):
        self.assertFalse(SCRIPT.startswith(b"\xef\xbb\xbf"))
        self.assertTrue(SCRIPT.endswith(b"\r\n"))
        self.assertEqual(SCRIPT.replace(b"\r\n", b"").count(b"\n"), 0)
        self.assertEqual(SCRIPT.replace(b"\r\n", b"").count(b"\r"), 0)
        SCRIPT.decode("ascii")
        roots = ["/var/www/site-%02d/public_html" % i for i in range(40)]
        self.assertLess(len(remote_command(roots)), 100000)

    def test_pax_tar_in_gzip_level_1_without_file_name(self):
        (self.site / "text.txt").write_text("compressible line\n" * 5000)
        self.backup()
        self.assertEqual(self.out[:4], b"\x1f\x8b\x08\x00")     # no FNAME
        tar = gzip.decompress(self.out)
        self.assertEqual(tar[257:265], b"ustar\x0000")           # POSIX
        packer = zlib.compressobj(1, zlib.DEFLATED, -zlib.MAX_WBITS)
        self.assertEqual(self.out[10:-8],
                         packer.compress(tar) + packer.flush())


class RootsTest(BackupCase):
    def test_normalised_deduplicated_and_nested_roots(self):
        www = self.site / "www"
        (www / "html").mkdir(parents=True)
        (self.site / "log").mkdir()
        (www / "html" / "index.html").write_text("hi")
        self.backup(www, www / "html", str(www) + "/", str(www) + "/../log",
                    "/" + str(www))
        self.assertEqual(self.manifest["sources"],
                         [str(self.site / "log"), str(www)])
        self.assertEqual(len(self.names), len(set(self.names)))

    def test_refused_roots_fail_before_any_output(self):
        for roots in ([], ["relative/path"], ["/"], ["/tmp/.."], [""]):
            with self.subTest(roots=roots):
                self.finish(self.start(roots))
                self.assert_failed("Select absolute real directories, not /")
                self.assertEqual(self.out, b"")
        (self.top / "dangling").symlink_to(self.site / "nowhere")
        self.finish(self.start(
            [self.top / "missing", self.site, self.top / "dangling"]))
        self.assert_failed("A selected source does not exist: %r" % [
            str(self.top / "dangling"), str(self.top / "missing")])
        self.assertEqual(self.out, b"")


class EnumerationTest(BackupCase):
    def test_order_links_and_single_file_roots(self):
        s = self.site
        for d in ("a/sub", "b"):
            (s / d).mkdir(parents=True)
        for f in ("a/z.txt", "a/sub/deep.txt", "b/y.txt", "B.txt", "c.txt"):
            (s / f).write_text(f)
        (s / "link-dir").symlink_to("a")
        (s / "link-file").symlink_to("c.txt")
        (s / "dangling").symlink_to("nowhere")
        (self.top / "other.txt").write_text("single")
        (self.top / "zlink").symlink_to(s / "a")
        self.backup(self.top / "zlink", s, self.top / "other.txt")
        self.assertEqual(self.names, self.arc(
            self.top / "other.txt", s, s / "a", s / "b", s / "link-dir",
            s / "B.txt", s / "c.txt", s / "dangling", s / "link-file",
            s / "a/sub", s / "a/z.txt", s / "a/sub/deep.txt", s / "b/y.txt",
            self.top / "zlink") + [MANIFEST])
        links = {m.name.rsplit("/", 1)[-1]: m.linkname
                 for m, _ in self.members if m.issym()}
        self.assertEqual(links, {"link-dir": "a", "link-file": "c.txt",
                                 "dangling": "nowhere", "zlink": str(s / "a")})
        self.assertEqual(self.manifest["files"], 6)
        self.assertNotIn("service_definitions", self.manifest)  # no systemctl

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0,
                         "changing owners needs root")
    def test_owner_names_per_member_known_and_unknown(self):
        import grp
        import pwd
        owners = [(0, 0), (54321, 54321), (0, 0), (54321, 0), (0, 54321)]
        for n, (uid, gid) in enumerate(owners):
            (self.site / ("f%d" % n)).write_text("x")
            os.chown(str(self.site / ("f%d" % n)), uid, gid)

        def name(lookup, number):
            try:
                return lookup(number)[0]
            except KeyError:
                return ""
        self.backup()
        stored = {m.name.rsplit("/", 1)[-1]: (m.uid, m.gid, m.uname, m.gname)
                  for m, _ in self.members if m.isreg()}
        for n, (uid, gid) in enumerate(owners):
            self.assertEqual(stored["f%d" % n], (
                uid, gid, name(pwd.getpwuid, uid), name(grp.getgrgid, gid)))

    def test_hard_link_stored_once_with_data(self):
        (self.site / "first").write_bytes(b"12345")
        os.link(str(self.site / "first"), str(self.site / "second"))
        self.backup()
        (first, data), (second, _) = self.members[1:3]
        self.assertEqual((first.isreg(), data), (True, b"12345"))
        self.assertEqual((second.islnk(), second.linkname), (True, first.name))
        self.assertEqual(
            (self.manifest["files"], self.manifest["logical_bytes"]), (1, 5))


WRITER = """if 1:
    import sqlite3, sys, time
    db = sqlite3.connect(sys.argv[1], isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA wal_autocheckpoint=0")   # rows stay in the WAL
    db.execute("CREATE TABLE t (pad BLOB)")
    for n in range(300):
        db.execute("INSERT INTO t VALUES (randomblob(500))")
    print("ready", flush=True)
    while True:
        db.execute("INSERT INTO t VALUES (randomblob(500))")
        time.sleep(0.001)
"""


class SqliteTest(BackupCase):
    def test_wal_database_copied_while_written_and_sidecars_left_out(self):
        app = self.site / "app.db"
        writer = subprocess.Popen([sys.executable, "-c", WRITER, str(app)],
                                  stdout=subprocess.PIPE)
        for cleanup in (writer.stdout.close, writer.wait, writer.kill):
            self.addCleanup(cleanup)
        self.assertEqual(writer.stdout.readline(), b"ready\n")
        app.chmod(0o640)
        os.utime(str(app), (1600000000, 1600000000))
        sqlite3.connect(str(self.site / "plain.db")).execute(
            "CREATE TABLE t (x)").connection.close()
        (self.site / "plain.db-journal").write_bytes(b"")
        (self.site / "notes.txt-wal").write_text("not a sidecar")
        (self.site / "almost.db").write_bytes(b"SQLite format 3X" + b"." * 99)
        live_size = app.stat().st_size
        self.backup()
        writer.kill()
        self.assertEqual(
            [(d["path"], d["quick_check"]) for d in self.manifest["sqlite"]],
            [(str(app), "ok"), (str(self.site / "plain.db"), "ok")])
        self.assertEqual(self.names, self.arc(self.site, *(
            self.site / n for n in ("almost.db", "app.db", "notes.txt-wal",
                                    "plain.db"))) + [MANIFEST])
        member, data = self.members[2]
        self.assertEqual((member.mode, member.mtime), (0o640, 1600000000))
        self.assertEqual(member.size, self.manifest["sqlite"][0]["bytes"])
        self.assertGreater(member.size, live_size)  # rows still in the WAL
        (self.top / "copy.db").write_bytes(data)
        db = sqlite3.connect(str(self.top / "copy.db"))
        self.addCleanup(db.close)
        self.assertEqual(db.execute("PRAGMA quick_check").fetchall(),
                         [("ok",)])
        self.assertGreater(db.execute("SELECT count(*) FROM t").fetchone()[0],
                           300)

    def test_broken_database_fails_before_output(self):
        (self.site / "x.db").write_bytes(b"SQLite format 3\0" + b"\xff" * 4096)
        self.finish(self.start([self.site]))
        self.assert_failed("file is not a database")
        self.assertEqual(self.out, b"")


class SkippedPathsTest(BackupCase):
    def test_fifos_and_sockets_warned_and_omitted(self):
        names = ["pipe", "sock", "труба", os.fsdecode(b"\xff-fifo")]
        for name in names[:1] + names[2:]:
            os.mkfifo(os.path.join(str(self.site), name))
        server = socket.socket(socket.AF_UNIX)
        self.addCleanup(server.close)
        server.bind(str(self.site / "sock"))
        odd = os.path.join(str(self.site), os.fsdecode(b"\xfe.txt"))
        Path(odd).write_text("odd name")
        self.backup()
        self.assertEqual(self.names, self.arc(self.site, odd) + [MANIFEST])
        self.assertIn("труба".encode(), self.members[-1][1])
        self.assertEqual(self.manifest["warnings"], [
            "Special device/socket/FIFO omitted: "
            + os.path.join(str(self.site), n) for n in names])

    @unittest.skipIf(os.geteuid() == 0, "root can list every directory")
    def test_unlistable_directory_fails_the_run(self):
        (self.site / "locked").mkdir(0)
        self.addCleanup((self.site / "locked").chmod, 0o700)
        self.finish(self.start([self.site]))
        self.assert_failed("Permission denied")
        self.assertEqual(self.out, b"")

    def test_path_gone_during_discovery(self):
        # The program waits on the locked database after listing the folder.
        held = sqlite3.connect(str(self.site / "a.db"), isolation_level=None)
        self.addCleanup(held.close)
        held.execute("CREATE TABLE t (x)")
        held.execute("BEGIN EXCLUSIVE")
        (self.site / "b.txt").write_text("soon gone")
        proc = self.start([self.site])
        for _ in range(1000):
            if list(self.scratch.glob("*/0.sqlite3")):
                break
            time.sleep(0.01)
        (self.site / "b.txt").unlink()
        held.execute("COMMIT")
        self.backup(proc=proc)
        self.assertEqual(self.manifest["warnings"], [
            "Disappeared during SQLite discovery: "
            + str(self.site / "b.txt")])
        self.assertEqual(self.names, self.arc(self.site, self.site / "a.db")
                         + [MANIFEST])


class WhileStreamingTest(BackupCase):
    """A full pipe holds the program inside a.bin while the test acts: the
    file is larger than everything the program keeps in flight."""

    def start_held(self):
        for name, size in [("a.bin", 16 << 20)] + [
                ("d%d.bin" % n, 100000) for n in range(10)]:
            (self.site / name).write_bytes(os.urandom(size))
        (self.site / "b.txt").write_text("listed")
        sqlite3.connect(str(self.site / "c.db")).execute(
            "CREATE TABLE IF NOT EXISTS t (x)").connection.close()
        proc = self.start([self.site])
        return proc, proc.stdout.read(1)

    def program_pid(self, proc):
        # The shell may run python3 as its child rather than exec it.
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else proc.pid

    def test_path_gone_during_live_copy(self):
        proc, head = self.start_held()
        (self.site / "b.txt").unlink()
        self.backup(proc=proc, head=head)
        self.assertEqual(self.manifest["warnings"], [
            "Disappeared during live copy: " + str(self.site / "b.txt")])

    def test_file_shrinking_during_copy_fails_without_ending_stream(self):
        proc, head = self.start_held()
        os.truncate(str(self.site / "a.bin"), 100)
        self.finish(proc, head)
        self.assert_failed("File shrank while being copied: "
                           + str(self.site / "a.bin"))
        self.assertRaises(EOFError, gzip.decompress, self.out)

    def test_signals_end_with_128_plus_number(self):
        for sig in (signal.SIGHUP, signal.SIGTERM):
            with self.subTest(signal=sig):
                proc, head = self.start_held()
                os.kill(self.program_pid(proc), sig)
                self.assertEqual(self.finish(proc, head), 128 + sig, self.err)
                self.assertIn("interrupted by signal %d" % sig, self.err)

    def test_closed_standard_output_ends_program_at_once(self):
        proc, _ = self.start_held()
        # Under relatime, reading a file whose access time precedes its
        # modification time moves it: d9.bin shows whether the program read
        # on after the client went away.
        later = self.site / "d9.bin"
        os.utime(str(later), (0, later.stat().st_mtime))
        proc.stdout.close()
        began = time.monotonic()
        proc.wait(timeout=10)
        self.assertLess(time.monotonic() - began, 2)
        self.finish(proc)
        self.assert_failed("BrokenPipeError")
        untouched = later.stat().st_atime == 0
        later.read_bytes()
        if later.stat().st_atime != 0:   # the file system keeps access times
            self.assertTrue(untouched, "read on after the pipe closed")


class ManifestTest(BackupCase):
    def test_last_member_attributes_keys_and_counts(self):
        self.tool("systemctl", "printf '%s\\n' \"$@\"; exit 3")
        (self.site / "one.txt").write_text("12345")
        (self.site / "two.txt").write_text("123")
        before = time.time()
        self.backup()
        after = time.time()
        member, raw = self.members[-1]
        self.assertEqual((member.mode, member.uid, member.gid, member.uname,
                          member.gname, member.type),
                         (0o600, 0, 0, "", "", tarfile.REGTYPE))
        self.assertTrue(int(before) <= member.mtime <= after)
        self.assertNotIn("mtime", member.pax_headers)     # whole seconds
        m = self.manifest
        self.assertEqual(list(m), [
            "format", "started_utc", "sources", "sqlite", "warnings", "files",
            "logical_bytes", "consistency", "system", "service_definitions",
            "finished_utc"])
        self.assertEqual((m["format"], m["files"], m["logical_bytes"]),
                         (1, 2, 8))
        self.assertTrue(before < m["started_utc"] <= m["finished_utc"] < after)
        self.assertEqual(m["system"]["uname"],
                         os.uname().sysname + " " + os.uname().release)
        self.assertEqual(m["service_definitions"].split("\n"), [
            "show", "parvolt-api.service", "parvolt-scanner.service",
            "--property=WorkingDirectory,ExecStart", "--no-pager", ""])
        self.assertIn(b'\n  "format": 1,\n', raw)       # indent 2


if __name__ == "__main__":
    unittest.main()
