"""Tests of the server-side restore program, resources/remote_restore.py, run
as the client runs it (the loader of remote_command.cpp) with the archive on
standard input. Archives come from the real backup program."""
import gzip
import hashlib
import io
import json
import os
import subprocess
import tarfile
import tempfile
import unittest
from pathlib import Path

from test_remote_backup import MANIFEST, PYTHON, launch, program_definitions

REPO = Path(__file__).resolve().parents[2]
# The program as the client sends it: the site configuration readers, then
# the backup program.
BACKUP = b"\n".join((REPO / "resources" / name).read_bytes()
                     for name in ("site_configs.py", "remote_backup.py"))
RESTORE = (REPO / "resources" / "remote_restore.py").read_bytes()


def run(script, roots, data=b"", **kwargs):
    env = dict(os.environ, PATH="%s:/usr/bin:/bin" % Path(PYTHON).parent)
    command, request = launch(roots, script)
    return subprocess.run([b"/bin/sh", b"-c", command], input=request + data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, **kwargs)


def tree(root):
    """Every entry under root: its kind, mode, mtime, owner, bytes or link
    target."""
    found = {}
    for path in sorted(root.rglob("*")):
        s = path.lstat()
        if path.is_symlink():
            found[path.relative_to(root)] = ("link", os.readlink(path), s.st_mtime_ns)
        elif path.is_dir():
            found[path.relative_to(root)] = ("dir", s.st_mode, s.st_mtime_ns, s.st_uid)
        else:
            found[path.relative_to(root)] = ("file", s.st_mode, s.st_mtime_ns, s.st_uid, path.read_bytes())
    return found


def header_class():
    """The program's own tar header class, without running the program."""
    return program_definitions(RESTORE, "remote_restore").Header


class RestoreProgramTest(unittest.TestCase):
    def setUp(self):
        holder = tempfile.TemporaryDirectory()
        self.addCleanup(holder.cleanup)
        self.top = Path(holder.name)
        self.site = self.top / "srv" / "site"
        (self.site / "empty").mkdir(parents=True)
        (self.site / "index.php").write_bytes(b"<?php echo 1;" * 5000)
        (self.site / "run").write_bytes(b"#!/bin/sh\n")
        (self.site / "run").chmod(0o4755)
        (self.site / "private").mkdir(mode=0o750)
        os.chown(self.site / "private", 33, 33)
        (self.site / "private" / "key").write_text("k")
        os.chown(self.site / "private" / "key", 33, 33)
        (self.site / "current").symlink_to("private")
        (self.site / "passwd").symlink_to("/etc/passwd")
        os.link(self.site / "index.php", self.site / "private" / "also.php")
        # Headers beyond the plain ones: a ustar prefix, a PAX path and link,
        # a name that is not UTF-8, a big owner number and a sparse file.
        deep = self.site / ("d" * 90) / ("e" * 90)
        deep.mkdir(parents=True)
        (deep / "f.txt").write_text("deep")
        (deep / ("g" * 120)).symlink_to("h" * 150)
        (self.site / os.fsdecode(b"caf\xe9.txt")).write_text("latin-1")
        os.chown(self.site / "private" / "key", 3000000, 33)
        with open(self.site / "holes.bin", "wb") as f:
            f.truncate(4 << 20)
            f.seek(1 << 20)
            f.write(b"data" * 1000)
        # Times the archive's decimal text holds exactly.
        for path in list(self.site.rglob("*")) + [self.site]:
            os.utime(path, ns=(1500000000123456000,) * 2, follow_symlinks=False)
        self.archive = self.backup(self.site)
        self.target = self.top / "restored"

    def backup(self, site):
        result = run(BACKUP, [site])
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def restore(self, archive=None, target=None, digest=None):
        archive = self.archive if archive is None else archive
        roots = [target or self.target, digest or hashlib.sha256(archive).hexdigest(), len(archive), 1 << 20, 100,
                 "20240101T000000Z-X"]
        result = run(RESTORE, roots, archive)
        self.answer = json.loads(result.stdout.decode() or "{}")
        return result

    def assert_nothing_left(self, parent):
        self.assertEqual([p for p in os.listdir(parent) if ".tesmora-restore-" in p], [])

    def test_tree_comes_back_with_modes_times_links_and_owners_then_the_folder_is_taken(self):
        result = self.restore()
        self.assertEqual(result.returncode, 0, result.stderr)
        restored = self.target / str(self.site).lstrip("/")
        self.assertEqual(tree(restored), tree(self.site))
        self.assertEqual((restored / "private" / "also.php").stat().st_ino, (restored / "index.php").stat().st_ino)
        self.assertEqual((self.answer["files"], self.answer["hardlinks"], self.answer["symlinks"],
                          self.answer["refused"]), (7, 1, 3, 0))
        report = (self.target / "restore-report.txt").read_text()
        self.assertEqual(report, self.answer["report"])
        self.assertIn("mv %s %s.before-restore && mv %s %s" % (self.site, self.site, restored, self.site), report)
        self.assertIn("Владельцы и группы - как в архиве", report)
        self.assert_nothing_left(self.top)
        self.assertEqual(self.restore().returncode, 1)
        self.assertEqual(self.answer, {"kind": "target"})

    def test_the_quick_header_reader_reads_every_format_as_tarfile_does(self):
        fields = ("name", "linkname", "type", "mode", "uid", "gid", "size", "mtime", "uname", "gname",
                  "devmajor", "devminor", "offset_data", "pax_headers", "sparse")

        def members(data, kind):
            with tarfile.open(fileobj=io.BytesIO(data), mode="r:", tarinfo=kind) as tar:
                return [[getattr(m, f) for f in fields] for m in tar]

        archives = [gzip.decompress(self.archive)]
        for form in (tarfile.USTAR_FORMAT, tarfile.GNU_FORMAT, tarfile.PAX_FORMAT):
            out = io.BytesIO()
            with tarfile.open(fileobj=out, mode="w", format=form) as tar:
                for name, kind, uid in [("p" * 60 + "/" + "q" * 80, tarfile.REGTYPE, 7), ("dir/", tarfile.DIRTYPE, 0),
                                        ("big-owner", tarfile.SYMTYPE, 0o7777777 + 1 if form != 0 else 1)]:
                    info = tarfile.TarInfo(name)
                    info.type, info.uid, info.mtime, info.linkname = kind, uid, 1500000000, "t" * 120 * (form != 0)
                    tar.addfile(info)
            archives.append(out.getvalue())
        # Headers with a bad checksum, with a stray byte in a number and without the POSIX magic.
        for offset, field in [(148, b"0000000\0"), (100, b"07x7\0\0\0\0"), (257, b"\0" * 8)]:
            for start in (0, 1024):  # the first member's header, then a later one
                damaged = bytearray(archives[1])
                damaged[start + offset:start + offset + len(field)] = field
                if offset != 148:
                    damaged[start + 148:start + 156] = b"%06o\0 " % (sum(damaged[start:start + 512]) -
                                                                     sum(damaged[start + 148:start + 156]) + 256)
                archives.append(bytes(damaged))
        quick = header_class()
        for data in archives:
            try:
                expected = members(data, tarfile.TarInfo)
            except tarfile.TarError as error:
                expected = type(error)
            try:
                self.assertEqual(members(data, quick), expected)
            except tarfile.TarError as error:
                self.assertEqual(type(error), expected)

    def test_names_that_leave_the_folder_or_go_through_links_are_refused(self):
        out = io.BytesIO()
        with tarfile.open(fileobj=out, mode="w:gz", format=tarfile.PAX_FORMAT) as tar:
            def add(name, kind=tarfile.REGTYPE, link="", data=b"x"):
                info = tarfile.TarInfo(name)
                info.type, info.linkname, info.size = kind, link, len(data) if kind == tarfile.REGTYPE else 0
                tar.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
            add("a/up", tarfile.SYMTYPE, "../../..")
            for name in ["../escape", "/abs", "a/up/escape", "a/up/../x"]:
                add(name)
            add("a/hard", tarfile.LNKTYPE, "../outside")
            add("__Tesmora_Backup__/databases/mysql-shop.sql", data=b"-- dump")
            add(MANIFEST, data=json.dumps({"files": 5}).encode())
        result = self.restore(out.getvalue())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.answer["refused"], 5)
        self.assertEqual(sorted(os.listdir(self.top)), ["restored", "srv"])
        self.assertEqual(os.readlink(self.target / "a" / "up"), "../../..")
        self.assertIn("mysql shop < %s/__Tesmora_Backup__/databases/mysql-shop.sql" % self.target, self.answer["report"])

    def test_unsafe_targets_and_a_damaged_stream_change_nothing(self):
        self.target.mkdir()
        (self.target / "site.php").write_text("live")
        (self.top / "link").symlink_to(self.target)
        for target in [self.target, self.top / "link", self.top / "no" / "parent"]:
            self.assertEqual(self.restore(target=target).returncode, 1)
            self.assertEqual(self.answer, {"kind": "target"})
        self.assertEqual(os.listdir(self.target), ["site.php"])
        fresh = self.top / "fresh"
        self.assertEqual(self.restore(target=fresh, digest="0" * 64).returncode, 1)
        self.assertEqual(self.answer, {"kind": "damaged"})
        self.assertEqual(self.restore(self.archive[:len(self.archive) // 2], fresh).returncode, 1)
        self.assertFalse(fresh.exists())
        self.assert_nothing_left(self.top)

    def test_a_killed_run_leaves_no_final_folder_and_the_next_one_clears_its_leftovers(self):
        (self.top / "srv" / "big").write_bytes(os.urandom(8 << 20))
        big = self.backup(self.top / "srv")
        roots = [self.target, hashlib.sha256(big).hexdigest(), len(big), 1 << 20, 100, "X"]
        command, request = launch(roots, RESTORE)
        process = subprocess.Popen([b"/bin/sh", b"-c", command], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdin.write(request + big[:len(big) // 2])
        process.stdin.flush()
        while not [p for p in os.listdir(self.top) if ".tesmora-restore-" in p]:
            pass
        # SIGKILL: no cleanup of its own. The shell may run python3 as its child.
        with open("/proc/%d/task/%d/children" % (process.pid, process.pid)) as f:
            for child in f.read().split():
                os.kill(int(child), 9)
        process.kill()
        process.communicate()
        self.assertFalse(self.target.exists())
        self.assertEqual(self.restore(big).returncode, 0)
        self.assert_nothing_left(self.top)


if __name__ == "__main__":
    unittest.main()
