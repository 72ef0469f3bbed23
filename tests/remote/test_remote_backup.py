"""Tests of the server-side backup program, resources/remote_backup.py.

Each run launches it as the client does over SSH: a shell gets the client's
loader (python3 -X utf8 -c "...", its text read from
src/remote/remote_command.cpp), and standard input carries the compressed
program and then the request, each as a frame (decimal length, line feed,
bytes), and then ends. "python3" runs TESMORA_TEST_PYTHON (default: the
interpreter of the tests).
"""
import base64
import io
import json
import os
import re
import select
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tarfile
import tempfile
import time
import types
import unittest
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The program as the client sends it: the site configuration readers, then
# the backup program.
SCRIPT = b"\n".join((REPO / "resources" / name).read_bytes()
                     for name in ("site_configs.py", "remote_backup.py"))
PYTHON = os.environ.get("TESMORA_TEST_PYTHON") or sys.executable
PYTHON36 = "/root/.pyenv/versions/3.6.15/bin/python3"
PYTHON37 = "/root/.pyenv/versions/3.7.16/bin/python3"
PYTHON313 = "/root/.pyenv/versions/3.13.0/bin/python3"
MANIFEST = "__Tesmora_Backup__/manifest.json"
RUNNING_SERVER = re.compile(r"A (MySQL/MariaDB|PostgreSQL) server runs on this server, but no site")
PROGRESS = re.compile("(?:\x1eprogress (discovery|database|archive) "
                      "([0-9]+) ([0-9]+)\n)*")
SETPRIV = shutil.which("setpriv")
# The loader: the C++ string literal's pieces, joined.
LOADER = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', re.search(
    r"kLoader =(.*?);\n", (REPO / "src" / "remote" / "remote_command.cpp")
    .read_text(), re.S).group(1))).replace('\\"', '"').encode()

def json_quote(path):
    out = b'"'
    for byte in os.fsencode(path):
        out += (b"\\" + bytes([byte]) if byte in b'"\\' else
                b"\\u%04x" % byte if byte < 0x20 else bytes([byte]))
    return out + b'"'


def program_definitions(script, name):
    """A server program's definitions, without running it: its text up to
    the call of main, with the signal handlers it sets put back."""
    text = script.decode().replace("\r\n", "\n").split("\ntry:\n    main()")[0]
    handlers = {s: signal.getsignal(s) for s in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT)}
    names = {"__name__": name}
    try:
        exec(compile(text, name + ".py", "exec"), names)
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    return types.SimpleNamespace(**names)


def frame(data):
    return b"%d\n" % len(data) + data


def launch(roots, script=SCRIPT, request=None):
    """The loader and its standard input: the program, then the request
    (by default the list of roots)."""
    if request is None:
        request = b"[" + b",".join(json_quote(str(r)) for r in roots) + b"]"
    return LOADER, frame(zlib.compress(script, 9)) + frame(request)


def start_program(shell_command, stdin_data, **kwargs):
    """Starts a shell command with stdin_data as its whole standard input."""
    proc = subprocess.Popen(shell_command, bufsize=0, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **kwargs)
    # Far below a pipe's buffer for the requests the tests send; a program
    # that went away early leaves it unread.
    try:
        proc.stdin.write(stdin_data)
        proc.stdin.close()
    except BrokenPipeError:
        pass
    proc.stdin = None
    return proc

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

    def start(self, roots, prefix=(), env=(), request=None, **patch):
        """Runs the program with its constants set to the values in patch
        (bytes: code)."""
        script = SCRIPT
        for name, value in patch.items():
            line = b"\n%s = %s\n" % (name.encode(), value if isinstance(
                value, bytes) else repr(value).encode())
            script, found = re.subn(b"\n%s = .*\n" % name.encode(),
                                    lambda _: line, script)
            self.assertEqual(found, 1, name)
        command, data = launch(roots, script, request)
        return start_program(
            list(prefix) + [b"/bin/sh", b"-c", command], data, env=dict(
                env, PATH=str(self.bin), TMPDIR=str(self.scratch)))

    def program_pid(self, proc):
        # The shell may run python3 as its child rather than exec it.
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else proc.pid

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
        self.assertEqual(PROGRESS.match(self.err).end(), len(self.err), self.err)
        self.read_archive(self.out)

    def read_archive(self, data):
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
            self.members = [(m, tar.extractfile(m).read() if m.isreg()
                             else None) for m in tar]
        self.assertEqual(self.members[-1][0].name, MANIFEST)
        self.manifest = json.loads(self.members[-1][1].decode("utf-8"))
        # The database servers that the test runner starts beside these
        # tests are rightly seen and warned of.
        self.manifest["warnings"] = [w for w in self.manifest["warnings"]
                                     if not RUNNING_SERVER.match(w)]
        self.names = [m.name for m, _ in self.members]

    def assert_failed(self, message, proc=None):
        """Returns the error text, which must follow every progress line."""
        if proc:
            self.finish(proc)
        self.assertEqual(self.status, 1, self.err)
        text = self.err[PROGRESS.match(self.err).end():]
        self.assertNotIn("\x1e", text)
        self.assertIn(message, text.strip().splitlines()[-1])
        return text

    def arc(self, *paths):
        return [str(p).lstrip("/") for p in paths]

    def archived_database(self, path):
        """The archived copy of a database, checked whole."""
        copy = self.top / ("copy%d.db" % len(os.listdir(str(self.top))))
        copy.write_bytes(self.members[self.names.index(self.arc(path)[0])][1])
        db = sqlite3.connect(str(copy))
        self.addCleanup(db.close)
        self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(),
                         [("ok",)])
        return db


class OldPythonTest(BackupCase):
    @unittest.skipUnless(os.path.exists(PYTHON36), "no python 3.6")
    def test_old_python_refused_in_one_line_before_any_output(self):
        self.tool("python3", "exec '%s' \"$@\"" % PYTHON36)
        self.finish(self.start([self.site]))
        self.assertEqual((self.status, self.out, self.err), (1, b"", (
            "python3 3.7 or newer is needed on the server; found 3.6\n")))


# The login shells servers give their users, each as sshd starts it.
SHELLS = [("sh", ["/bin/sh"]), ("bash", ["/bin/bash"]), ("dash", ["/bin/dash"]),
          ("zsh", ["/bin/zsh"]), ("fish", ["/usr/bin/fish"]),
          ("tcsh", ["/bin/tcsh"]), ("bsd-csh", ["/bin/bsd-csh"]),
          ("mksh", ["/bin/mksh"]), ("ksh93", ["/bin/ksh93"]),
          ("busybox ash", ["/bin/busybox", "ash"])]


class LoaderTest(BackupCase):
    def probe(self, argv, paths):
        request = json.dumps({"paths": [str(p) for p in paths],
                              "mode": "probe"}).encode()
        command, data = launch([], SCRIPT, request)
        self.finish(start_program(argv + [b"-c", command], data, env=dict(
            PATH=str(self.bin), TMPDIR=str(self.scratch), HOME=str(self.top))))

    def test_every_shell_starts_the_program_it_carries(self):
        found = [(name, argv) for name, argv in SHELLS
                 if os.path.exists(argv[0])]
        self.assertGreaterEqual(len(found), 3)
        for name, argv in found:
            with self.subTest(shell=name):
                self.probe([a.encode() for a in argv], [self.site])
                self.assertEqual(self.status, 0, self.err)
                self.assertEqual(json.loads(self.out.decode())["probe"], "ok")

    def test_the_probe_meets_what_a_backup_would(self):
        self.probe([b"/bin/sh"], [self.site / "gone"])
        self.assert_failed("A selected source does not exist: ")
        self.assertEqual(self.out, b"")


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

    def test_linked_roots_followed_and_empty_roots_warned(self):
        s, top = self.site, self.top
        (s / "releases/r1/uploads").mkdir(parents=True)
        (s / "releases/r1/index.html").write_text("release")
        (s / "releases/r1/uploads/a.jpg").write_text("jpg")
        (s / "current").symlink_to("releases/r1")
        (top / "page").symlink_to(s / "releases/r1/index.html")
        (top / "empty").mkdir()
        # current/uploads is in current's walk, but not in that of s.
        self.backup(s / "current/uploads", s / "releases", s / "current",
                    top / "page", top / "empty", s)
        self.assertEqual(self.manifest["sources"], [
            str(top / "empty"), str(top / "page"), str(s), str(s / "current")])
        r1, cur = s / "releases/r1", s / "current"
        self.assertEqual(self.names, self.arc(
            top / "empty", top / "page", s, s / "releases", r1, r1 / "uploads",
            r1 / "index.html", r1 / "uploads/a.jpg", cur, cur / "uploads",
            cur / "index.html", cur / "uploads/a.jpg") + [MANIFEST])
        self.assertTrue(self.members[8][0].isdir())
        self.assertEqual(self.members[1][1], b"release")
        self.assertEqual(self.manifest["source_links"], [
            {"path": str(top / "page"), "target": str(r1 / "index.html")},
            {"path": str(cur), "target": "releases/r1"}])
        self.assertEqual(self.manifest["warnings"], [
            "Selected source holds no file: " + str(top / "empty")])

    def test_names_right_whatever_the_locale(self):
        # A server whose locale is not UTF-8 (LOCPATH: generated here).
        locales = self.top / "locales"
        locales.mkdir()
        if subprocess.call(["localedef", "-i", "de_DE", "-f", "ISO-8859-1",
                            str(locales / "de_DE.ISO-8859-1")],
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL):
            self.skipTest("localedef cannot make de_DE.ISO-8859-1")
        root = self.site / "сайт"
        root.mkdir()
        (root / "café.txt").write_text("x")
        self.backup(proc=self.start([root], env={
            "LOCPATH": str(locales), "LC_ALL": "de_DE.ISO-8859-1"}))
        self.assertEqual(self.names, self.arc(root, root / "café.txt") + [
            MANIFEST])
        self.assertEqual(self.manifest["sources"], [str(root)])

    def test_refused_roots_fail_before_any_output(self):
        for roots in ([], ["relative/path"], ["/"], ["/tmp/.."], [""]):
            with self.subTest(roots=roots):
                self.assert_failed("Select absolute real directories, not /",
                                   self.start(roots))
                self.assertEqual(self.out, b"")
        (self.top / "dangling").symlink_to(self.site / "nowhere")
        self.assert_failed("A selected source does not exist: %r" % [
            str(self.top / "dangling"), str(self.top / "missing")], self.start(
                [self.top / "missing", self.site, self.top / "dangling"]))
        self.assertEqual(self.out, b"")

    def test_a_compressed_request_is_read_within_its_inflated_limit(self):
        (self.site / "a.txt").write_bytes(b"a")
        request = zlib.compress(json.dumps({"paths": [str(self.site)]}).encode())
        self.backup(proc=self.start([], request=request))
        self.assertIn(self.arc(self.site / "a.txt")[0], self.names)
        self.assert_failed("The request does not parse: it inflates past 16 bytes",
                           self.start([], request=request, INFLATED_REQUEST_LIMIT=16))
        self.assert_failed("The request does not parse: it does not inflate",
                           self.start([], request=b"x" + request))
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
        self.backup(s, self.top / "other.txt")
        self.assertEqual(self.names, self.arc(
            self.top / "other.txt", s, s / "a", s / "b", s / "B.txt",
            s / "c.txt", s / "dangling", s / "link-dir", s / "link-file",
            s / "a/sub", s / "a/z.txt", s / "a/sub/deep.txt", s / "b/y.txt")
            + [MANIFEST])
        links = {m.name.rsplit("/", 1)[-1]: m.linkname
                 for m, _ in self.members if m.issym()}
        self.assertEqual(links, {"link-dir": "a", "link-file": "c.txt",
                                 "dangling": "nowhere"})
        self.assertEqual(self.manifest["files"], 6)

    def test_tree_deeper_than_the_recursion_limit_and_sparse_file(self):
        deep = self.site.joinpath(*["d"] * 1000)
        subprocess.check_call(["mkdir", "-p", str(deep)])  # no recursion
        self.addCleanup(subprocess.call, ["rm", "-rf", str(self.site / "d")])
        (deep / "f.txt").write_text("deep")
        with open(str(self.site / "sparse.img"), "wb") as f:
            f.truncate(64 << 20)
            f.seek(1 << 20)
            f.write(b"data")
        self.backup()
        self.assertEqual(self.names[-3:], self.arc(deep, deep / "f.txt") + [
            MANIFEST])
        member, data = self.members[2]
        self.assertEqual((member.name, member.size, member.sparse),
                         (self.arc(self.site / "sparse.img")[0], 64 << 20,
                          [(1 << 20, 4096), (64 << 20, 0)]))
        self.assertEqual(data, bytes(1 << 20) + b"data" + bytes(
            (63 << 20) - 4))
        self.assertLess(len(self.out), 100000)

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


def wal_database(path, megabytes, journal="WAL"):
    """A closed database of about that size with an empty table t."""
    db = sqlite3.connect(str(path), isolation_level=None)
    for sql in ("PRAGMA journal_mode=" + journal, "CREATE TABLE pad (b BLOB)",
                "INSERT INTO pad SELECT zeroblob(1 << 20) FROM (WITH "
                "RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                "WHERE x < %d) SELECT x FROM c)" % megabytes,
                "CREATE TABLE t (n INTEGER PRIMARY KEY)"):
        db.execute(sql)
    db.close()


WRITER = """if 1:
    import sqlite3, sys
    db = sqlite3.connect(sys.argv[1], isolation_level=None)
    db.execute("PRAGMA synchronous=OFF")
    for n in range(1, 1 << 62):   # one commit a row, as fast as it can
        db.execute("INSERT INTO t VALUES (?)", (n,))
        if n == 300:
            print("ready", flush=True)
"""


class SqliteTest(BackupCase):
    def write_on(self, database):
        writer = subprocess.Popen([sys.executable, "-c", WRITER,
                                   str(database)], stdout=subprocess.PIPE)
        for cleanup in (writer.stdout.close, writer.wait, writer.kill):
            self.addCleanup(cleanup)
        self.assertEqual(writer.stdout.readline(), b"ready\n")
        return writer

    def assert_prefix_of_writes(self, database):
        rows, first, last = self.archived_database(database).execute(
            "SELECT count(*), min(n), max(n) FROM t").fetchone()
        self.assertEqual((first, last), (1, rows))
        self.assertGreaterEqual(rows, 300)

    def test_busy_wal_database_copied_whole_and_sidecars_left_out(self):
        # Copied in steps, it would start over after every commit and not
        # end within the 30 s that finish() waits.
        app = self.site / "app.db"
        wal_database(app, 52)
        writer = self.write_on(app)
        app.chmod(0o640)
        sqlite3.connect(str(self.site / "plain.db")).execute(
            "CREATE TABLE t (x)").connection.close()
        (self.site / "plain.db-journal").write_bytes(b"")
        (self.site / "notes.txt-wal").write_text("not a sidecar")
        (self.site / "almost.db").write_bytes(b"SQLite format 3X" + b"." * 99)
        self.backup()
        writer.kill()
        self.assertEqual(
            [(d["path"], d["quick_check"]) for d in self.manifest["sqlite"]],
            [(str(app), "ok"), (str(self.site / "plain.db"), "ok")])
        self.assertEqual(self.names, self.arc(self.site, *(
            self.site / n for n in ("almost.db", "app.db", "notes.txt-wal",
                                    "plain.db"))) + [MANIFEST])
        member = self.members[2][0]
        self.assertEqual(member.mode, 0o640)        # of the live file
        self.assertEqual(member.size, self.manifest["sqlite"][0]["bytes"])
        self.assertGreater(member.size, 52 << 20)
        self.assert_prefix_of_writes(app)

    def test_busy_rollback_database_ends_in_one_step(self):
        # Its steps start over after every commit.
        app = self.site / "app.db"
        wal_database(app, 20, "DELETE")
        self.write_on(app)
        self.backup()
        self.assert_prefix_of_writes(app)

    def test_site_left_as_it_was_and_damaged_databases_stored_as_such(self):
        # A reader of an idle WAL database would create its -wal and -shm.
        wal_database(self.site / "idle.db", 1)
        wal_database(self.site / "plain.db", 1, "DELETE")
        damaged = {"junk.sqlite": b"SQLite format 3\0" + b"\xff" * 4096,
                   "half.db": (self.site / "plain.db").read_bytes()[:600000]}
        for name, data in damaged.items():
            (self.site / name).write_bytes(data)

        def state():
            return [(str(p), s.st_size, s.st_mtime_ns, s.st_uid, s.st_gid)
                    for p in sorted(self.site.rglob("*")) + [self.site]
                    for s in [p.lstat()]]
        before = state()
        self.backup()
        self.assertEqual(state(), before)
        self.assertEqual([d["path"] for d in self.manifest["sqlite"]], [
            str(self.site / "idle.db"), str(self.site / "plain.db")])
        stored = {m.name.rsplit("/", 1)[-1]: d for m, d in self.members}
        self.assertEqual({n: stored[n] for n in damaged}, damaged)
        self.assertEqual([w.rsplit(" (", 1)[0] for w in self.manifest[
            "warnings"]], ["Not a readable SQLite database, stored as it is: "
                           + str(self.site / n) for n in sorted(damaged)])

    def test_failures_name_the_database_and_a_gone_client_ends_the_run(self):
        app = self.site / "app.db"
        wal_database(app, 1, "DELETE")
        locker = sqlite3.connect(str(app), isolation_level=None)
        self.addCleanup(locker.close)
        locker.execute("BEGIN EXCLUSIVE")
        self.assert_failed("SQLite database %s stayed locked by another "
                           "program for 1 s" % app,
                           self.start([self.site], STALL_LIMIT=1.0))
        self.assert_failed("Not enough free space in %s for a copy of the "
                           "SQLite database %s: " % (self.scratch, app),
                           self.start([self.site], SPACE_RESERVE=1 << 60))
        proc = self.start([self.site])
        self.addCleanup(proc.kill)
        while b" database " not in proc.stderr.readline():
            pass
        proc.stdout.close()
        proc.stderr.close()
        proc.wait(timeout=5)
        self.assertEqual(os.listdir(str(self.scratch)), [])


@unittest.skipUnless(SETPRIV and os.geteuid() == 0, "needs root, setpriv")
class PermissionTest(BackupCase):
    def interfere(self, proc, times, write):
        """Stops the program in each of its first `times` database copies,
        once the copy has begun to fill, while `write` runs."""
        seen = set()
        while len(seen) < times and proc.poll() is None:
            try:
                filling = [c for c in self.scratch.glob("*/*.sqlite3")
                           if c not in seen and c.stat().st_size]
            except FileNotFoundError:   # removed meanwhile
                continue
            for copy in filling:
                seen.add(copy)
                pid = self.program_pid(proc)
                os.kill(pid, signal.SIGSTOP)
                try:
                    write()
                finally:
                    os.kill(pid, signal.SIGCONT)
            time.sleep(0.001)
        self.assertEqual(len(seen), times)

    def test_wal_database_in_folder_the_user_cannot_write(self):
        # With no connection open, no reader can make the -shm index.
        sys.path.insert(0, str(REPO / "tests" / "e2e"))
        from harness.sshd import ensure_test_user
        ensure_test_user()
        shutil.chown(str(self.scratch), "tesmora-test")
        # SQLite looks for the WAL with access(), which ignores the right to
        # search everywhere that the user is given below.
        self.top.chmod(0o755)
        app = str(self.site / "app.db")
        wal_database(app, 30)   # a copy long enough to be caught
        writers = []

        def write(stays):
            writers.append(sqlite3.connect(app, isolation_level=None))
            writers[-1].execute("INSERT INTO t DEFAULT VALUES")
            if not stays:   # the last connection also removes the WAL
                writers.pop().close()
        # A writer that stays lets the retry read through the WAL; one that
        # comes and goes at both tries leaves no consistent copy.
        for times, stays, rows in ((0, 0, 0), (1, 1, 1), (2, 0, None)):
            with self.subTest(times=times, stays=stays):
                # The program runs as the SSH user, which may read and
                # search everywhere (the interpreter may be under /root).
                proc = self.start([self.site], [
                    SETPRIV, "--reuid=tesmora-test", "--regid=tesmora-test",
                    "--clear-groups", "--inh-caps=+dac_read_search",
                    "--ambient-caps=+dac_read_search"])
                self.interfere(proc, times, lambda: write(stays))
                if rows is None:
                    self.assertEqual(self.assert_failed(app, proc), (
                        "SQLite database %s changed each time it was copied "
                        "without locks; back up at a quiet time\n" % app))
                else:
                    self.backup(proc=proc)
                    self.assertEqual(self.archived_database(app).execute(
                        "SELECT count(*) FROM t").fetchone(), (rows,))
                while writers:
                    writers.pop().close()

    def test_unreadable_folder_or_file_fails_in_one_line(self):
        locked = self.site / "locked"
        locked.mkdir(0)
        for kind in ("folder ", ""):
            # Root bound by the permission bits.
            proc = self.start([self.site], [
                SETPRIV, "--bounding-set=-dac_override,-dac_read_search"])
            self.assertEqual(self.assert_failed(str(locked), proc), (
                "Cannot read %s%s: Permission denied\n" % (kind, locked)))
            self.assertEqual(self.out, b"")
            if kind:
                locked.rmdir()
                locked.touch(0)


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

    def test_progress_priority_and_files_changed_while_read(self):
        a, first, second = (self.site / n for n in ("a.bin", "0", "z"))
        for change in ("Shrank while copied, the rest stored as zeros: ",
                       "Grew while copied, stored at its size when opened: "):
            with self.subTest(change=change):
                began = time.monotonic()
                first.write_bytes(b"old")
                if not second.exists():
                    os.link(str(first), str(second))
                proc, head = self.start_held()
                for _ in range(3):   # one at the start, then one a second
                    self.assertTrue(select.select([proc.stderr], [], [], 2)[0])
                    line = proc.stderr.readline().decode()
                phase, done, total = PROGRESS.fullmatch(line).groups()
                planned = sum(p.stat().st_size for p in self.site.iterdir())
                self.assertEqual((phase, int(total)), ("archive", planned))
                self.assertTrue(0 < int(done) < planned)
                self.assertEqual(subprocess.check_output([
                    "ionice", "-p", str(self.program_pid(proc))]),
                    b"best-effort: prio 7\n")
                data = a.read_bytes()
                if "Shrank" in change:
                    os.truncate(str(a), 100)
                else:
                    with a.open("ab") as f:
                        f.write(b"appended")
                # The second name of "0" now names a changed file.
                first.write_bytes(b"changed")
                self.backup(proc=proc, head=head)
                self.assertEqual(self.manifest["warnings"], [change + str(a)])
                # What was read before the change, then zeros for the rest.
                read = len(self.members[2][1].rstrip(b"\0"))
                self.assertEqual(self.members[2][1], data[:read] + bytes(
                    len(data) - read) if "Shrank" in change else data)
                self.assertEqual(self.members[-2][1], b"changed")
                self.assertLessEqual(3 + self.err.count("\x1e"),
                                     1 + time.monotonic() - began)

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
    def test_last_member_attributes_keys_counts_and_warnings(self):
        gone = self.top / "gone.txt"
        gone.write_text("soon gone")
        (self.site / "one.txt").write_text("12345")
        (self.site / "two.txt").write_text("123")
        before = time.time()
        # The temporary folders are listed after the sources are checked,
        # before discovery: gone.txt goes then.
        self.backup(proc=self.start([self.site, gone], TEMPORARY_FOLDERS=(
            b"(f for f in ['/tmp'] if not os.unlink(%r))" % str(gone))))
        after = time.time()
        member, raw = self.members[-1]
        self.assertEqual((member.mode, member.uid, member.gid, member.uname,
                          member.gname, member.type),
                         (0o600, 0, 0, "", "", tarfile.REGTYPE))
        self.assertTrue(int(before) <= member.mtime <= after)
        self.assertNotIn("mtime", member.pax_headers)     # whole seconds
        m = self.manifest
        self.assertEqual(list(m), [
            "format", "started_utc", "sources", "source_links", "sqlite",
            "dumps", "missed_databases", "warnings", "files", "logical_bytes", "consistency", "system",
            "finished_utc", "segments"])
        self.assertEqual((m["format"], m["files"], m["logical_bytes"]),
                         (1, 2, 8))
        self.assertEqual(m["warnings"], [
            "Disappeared while sizes were counted: " + str(gone),
            "Disappeared during live copy: " + str(gone),
            "Selected source holds no file: " + str(gone)])
        self.assertTrue(before < m["started_utc"] <= m["finished_utc"] < after)
        self.assertEqual(m["system"]["uname"],
                         os.uname().sysname + " " + os.uname().release)
        self.assertIn(b'\n  "format": 1,\n', raw)       # indent 2


if __name__ == "__main__":
    unittest.main()
