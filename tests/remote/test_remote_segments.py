"""The archive's layout: one gzip member of independent segments that GNU
tar, libarchive and Python open as any tar.gz, each segment inflating alone
to the bytes and CRC-32 that the manifest lists, and groups of small files
that an added or a removed file leaves alone but for its own."""
import gzip
import hashlib
import io
import json
import os
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zlib

import test_remote_backup as base

HEADER = 10  # a gzip header without a name


def numbered(index, archive, resumed=None):
    """The segments a run may reference, by number: those of the index and
    then those of the cut run's, each with the archive it is copied from."""
    parts = [(index, archive)] + ([resumed] if resumed else [])
    return [(s, data) for part, data in parts for s in part.get("segments", [])]


def assemble(stream, sources):
    """The client's part of a run that sent an index: the archive from the
    frames, each referenced segment copied from its archive and checked, and
    the new index of every segment that wholly arrived, so that a stream cut
    short gives what a cut run leaves."""
    out, position, index = bytearray(), 0, {"segments": []}
    while position + 5 <= len(stream):
        kind, value = stream[position:position + 1], struct.unpack(">I", stream[position + 1:position + 5])[0]
        position += 5
        body = stream[position:position + value] if kind in b"DHS" else b""
        if kind in b"DHS" and len(body) < value:
            break
        position += len(body)
        if kind == b"D":
            out += body
        elif kind == b"R":
            segment, archive = sources[value]
            piece = archive[segment["offset"]:segment["offset"] + segment["length"]]
            assert hashlib.sha256(piece).hexdigest() == segment["sha256"], value
            index["segments"].append(dict(segment, offset=len(out)))
            out += piece
        elif kind == b"H":
            index.update(json.loads(zlib.decompress(body)))
        elif kind == b"S":
            index["segments"].append(json.loads(zlib.decompress(body)))
        else:
            assert kind == b"E" and position == len(stream), (kind, position, len(stream))
    return bytes(out), index


def readers_list(archive):
    """The member count each of GNU tar and libarchive reads."""
    counts = []
    for reader in (["tar", "-tzf", "-"], ["bsdtar", "-tzf", "-"]):
        if shutil.which(reader[0]):
            listed = subprocess.run(reader, input=archive, capture_output=True, check=True).stdout
            counts.append(listed.count(b"\n"))
    return counts


def inflate(data):
    """A segment's tar bytes; it must need nothing before it."""
    return zlib.decompressobj(-15).decompress(data)


def make_site(site):
    """2 400 small pages in 40 folders, 3 and 4 MiB files of their own, a hard
    link, a name over 100 bytes and one that is not UTF-8."""
    rng = random.Random(7)
    words = [bytes(rng.choice(b"abcdefghij ") for _ in range(8)) for _ in range(300)]
    for folder in range(40):
        target = site / ("part%02d" % folder)
        target.mkdir()
        for number in range(60):
            text = b" ".join(rng.choice(words) for _ in range(rng.randrange(20, 700)))
            (target / ("page%02d.html" % number)).write_bytes(text)
    (site / "big.bin").write_bytes(rng.getrandbits(24 << 20).to_bytes(3 << 20, "little"))
    # Deflated, then stored, within one segment.
    (site / "mixed.bin").write_bytes(b"<?php echo $page; ?>\n" * 100000 + rng.getrandbits(16 << 20).to_bytes(2 << 20, "little"))
    os.link(str(site / "part01" / "page01.html"), str(site / "part39" / "linked.html"))
    (site / ("n" * 150)).write_bytes(b"long name")
    (site / os.fsdecode(b"caf\xe9.txt")).write_bytes(b"latin-1 name")


class SegmentsTest(base.BackupCase):
    def segments(self):
        table = self.manifest["segments"]
        self.assertEqual(table[0]["offset"], HEADER)
        for before, after in zip(table, table[1:]):
            self.assertEqual(before["offset"] + before["length"], after["offset"])
        return table

    def test_one_member_of_independent_segments_that_every_reader_opens(self):
        make_site(self.site)
        self.backup()
        archive = self.out
        whole = zlib.decompressobj(31)
        tar = whole.decompress(archive)
        self.assertTrue(whole.eof)
        self.assertEqual(whole.unused_data, b"")  # one member
        table = self.segments()
        self.assertGreater(len(table), 10)
        offset = 0
        for segment in table:
            data = inflate(archive[segment["offset"]:segment["offset"] + segment["length"]])
            self.assertEqual((len(data), zlib.crc32(data)), (segment["raw"], segment["crc"]))
            self.assertEqual(data, tar[offset:offset + len(data)])
            offset += len(data)
        # The large file is a segment of its own: its headers and its data.
        alone = [s for s in table if 3 << 20 < s["raw"] <= (3 << 20) + 2048]
        self.assertEqual(len(alone), 1)
        data = inflate(archive[alone[0]["offset"]:alone[0]["offset"] + alone[0]["length"]])
        self.assertIn(str(self.site / "big.bin").lstrip("/").encode(), data[:2048])
        # The segments are laid side by side anew, in another order, as a
        # run that reuses them would lay them, and still inflate whole.
        pieces = [archive[s["offset"]:s["offset"] + s["length"]] for s in table]
        reordered = b"".join(reversed(pieces))
        self.assertEqual(inflate(reordered), b"".join(inflate(p) for p in reversed(pieces)))

        names = len(self.members)
        for reader in (["tar", "-tzf", "-"], ["bsdtar", "-tzf", "-"]):
            if not shutil.which(reader[0]):
                self.skipTest(reader[0] + " is not installed")
            listed = subprocess.run(reader, input=archive, capture_output=True, check=True).stdout
            self.assertEqual(listed.count(b"\n"), names, reader[0])
        self.assertEqual(gzip.decompress(archive), tar)

    def test_adding_or_removing_a_file_changes_only_its_own_group(self):
        make_site(self.site)
        self.backup()
        before = {(s["raw"], s["crc"]) for s in self.segments()[:-1]}
        (self.site / "part20" / "page30a.html").write_bytes(b"a new page " * 300)
        (self.site / "part30" / "page10.html").unlink()
        self.backup()
        after = [(s["raw"], s["crc"]) for s in self.segments()[:-1]]
        changed = [s for s in after if s not in before]
        # Each folder's own header changed with its mtime; its group and the
        # group of the file, which may be the same, differ, and a group the
        # edit left below its minimum or whose last member went runs on into
        # the next. Headers carry the times, so sizes vary from run to run;
        # groups past the edits never change.
        self.assertLessEqual(len(changed), 6, changed)
        self.assertGreater(len(after), 10)


class IncrementalTest(base.BackupCase):
    """Runs that send the previous index, the client played by assemble."""

    def run_with(self, previous, resumed=None, **patch):
        sent = dict(previous, resumed=resumed[0]) if resumed else previous
        request = json.dumps({"paths": [str(self.site)], "previous": sent}).encode()
        self.assertEqual(self.finish(self.start([self.site], request=request, **patch)), 0, self.err)
        self.wire = len(self.out)
        self.archive, self.index = assemble(self.out, numbered(previous, getattr(self, "archive", b""), resumed))
        self.read_archive(self.archive)
        self.assertEqual(readers_list(self.archive), [len(self.members)] * len(readers_list(self.archive)))
        return {m.name: (m.type, m.linkname, data) for m, data in self.members[:-1]}

    def test_unchanged_segments_are_copied_and_every_change_is_sent(self):
        make_site(self.site)
        os.symlink("part02", str(self.site / "current"))
        trusted = {"RACY_NS": 0}
        first = self.run_with({}, **trusted)
        self.assertGreater(self.wire, len(self.archive))  # everything, framed
        second = self.run_with(self.index, **trusted)
        self.assertEqual(second, first)
        self.assertLess(self.wire, len(self.archive) // 20)

        rel = lambda *parts: str(self.site.joinpath(*parts)).lstrip("/")
        page = self.site / "part07" / "page07.html"
        before = page.stat()
        page.write_bytes(page.read_bytes()[::-1])  # same size, then the same mtime
        os.utime(str(page), ns=(before.st_atime_ns, before.st_mtime_ns))
        shutil.rmtree(str(self.site / "part05"))
        os.rename(str(self.site / "part10" / "page03.html"), str(self.site / "part10" / "moved.html"))
        (self.site / "part01" / "page01.html").unlink()  # the first path of a hard link
        (self.site / "part22" / "new.html").write_bytes(b"new " * 500)
        # A damaged segment of the previous archive: the client leaves it out.
        index = json.loads(json.dumps(self.index))
        damaged = next(n for n, s in enumerate(index["segments"])
                       if any(m[0].startswith(rel("part30")) for m in s["members"]))
        index["segments"][damaged] = {"members": []}
        third = self.run_with(index, **trusted)
        self.assertEqual(third[rel("part07", "page07.html")][2], page.read_bytes())
        self.assertFalse([name for name in third if name.startswith(rel("part05"))])
        self.assertIn(rel("part10", "moved.html"), third)
        self.assertNotIn(rel("part10", "page03.html"), third)
        self.assertEqual(third[rel("part39", "linked.html")][:2], (tarfile.REGTYPE, ""))  # a file again, with its data
        self.assertEqual(third[rel("part39", "linked.html")][2], first[rel("part01", "page01.html")][2])
        self.assertEqual(third[rel("part22", "new.html")][2], b"new " * 500)
        self.assertEqual(third[rel("current")][:2], (tarfile.SYMTYPE, "part02"))
        self.assertEqual({n: v for n, v in third.items() if n.startswith(rel("part30"))},
                         {n: v for n, v in first.items() if n.startswith(rel("part30"))})
        self.assertEqual(self.manifest["files"], sum(1 for v in third.values() if v[0] == tarfile.REGTYPE))
        self.assertLess(self.wire, len(self.archive) // 3)

    def test_a_cut_run_leaves_what_wholly_arrived_for_the_next_to_copy(self):
        make_site(self.site)
        first = self.run_with({}, RACY_NS=0)
        whole, largest = self.out, max(s["length"] for s in self.index["segments"])
        for cut in (0, 0.5, 0.99):
            arrived, kept = assemble(whole[:int(len(whole) * cut)], [])
            self.archive = b""
            self.assertEqual(self.run_with({}, resumed=(kept, arrived), RACY_NS=0), first, cut)
            # Sent again: what had not arrived, and at most the segment that was on its way.
            self.assertLessEqual(self.wire, len(whole) - len(arrived) + largest + (64 << 10), cut)
            if cut:
                self.assertGreater(len(kept["segments"]), 0)

    def test_a_database_copy_sends_the_pages_that_changed_and_survives_a_vacuum(self):
        database = self.site / "app.sqlite"
        with sqlite3.connect(str(database)) as live:
            live.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, note TEXT)")
            live.executemany("INSERT INTO t VALUES (?, ?)", ((n, hashlib.md5(b"%d" % n).hexdigest() * 3)
                                                             for n in range(20000)))
        query = "SELECT COUNT(*), SUM(LENGTH(note)), MAX(note) FROM t"

        def rows(files):
            copy = self.top / "copy.sqlite"
            copy.write_bytes(files[str(database).lstrip("/")][2])
            with sqlite3.connect(str(copy)) as restored:
                return restored.execute(query).fetchone()
        self.run_with({})
        for change in ("UPDATE t SET note = 'changed' WHERE id = 10000", "DELETE FROM t WHERE id % 2; VACUUM"):
            with sqlite3.connect(str(database)) as live:
                live.executescript(change)
                expected = live.execute(query).fetchone()
            self.assertEqual(rows(self.run_with(self.index)), expected, change)
            if change.startswith("UPDATE"):
                self.assertLess(self.wire, database.stat().st_size // 10)

    def test_rotated_logs_come_out_as_they_are_now(self):
        logs = self.site / "logs"
        logs.mkdir()
        line = b"127.0.0.1 - - [08/Dec/2026] \"GET / HTTP/1.1\" 200\n"
        for name in ("access.log", "error.log"):
            (logs / name).write_bytes(line * 40000)
        self.run_with({}, RACY_NS=0)
        # Renamed and begun afresh, and cut in place as copytruncate does.
        os.rename(str(logs / "access.log"), str(logs / "access.log.1"))
        (logs / "access.log").write_bytes(line)
        shutil.copy(str(logs / "error.log"), str(logs / "error.log.1"))
        with open(str(logs / "error.log"), "r+b") as log:
            log.truncate(0)
        files = self.run_with(self.index, RACY_NS=0)
        self.assertEqual({name.rsplit("/", 1)[1]: data for name, (kind, _, data) in files.items()
                          if kind == tarfile.REGTYPE},
                         {"access.log": line, "access.log.1": line * 40000, "error.log": b"",
                          "error.log.1": line * 40000})

    def test_members_changed_just_before_their_scan_are_sent_again(self):
        make_site(self.site)
        # A bound wide enough that a busy machine's slow start still falls in it.
        self.run_with({}, RACY_NS=60 * 10 ** 9)
        full = len(self.archive)
        self.run_with(self.index, RACY_NS=60 * 10 ** 9)
        self.assertGreater(self.wire, full * 0.9)


    def test_a_week_after_the_last_full_run_everything_is_read_and_sent_again(self):
        make_site(self.site)
        self.run_with({}, RACY_NS=0)
        full, first = len(self.archive), self.index["full_ns"]
        self.run_with(self.index, RACY_NS=0, FULL_EVERY_NS=0)
        self.assertGreater(self.wire, full * 0.9)
        self.assertGreater(self.index["full_ns"], first)

    def test_a_newer_python_on_the_server_builds_on_the_older_ones_archive(self):
        pythons = [p for p in (base.PYTHON37, base.PYTHON313) if os.path.exists(p)]
        if len(pythons) < 2:
            self.skipTest("needs python3.7 and python3.13")
        make_site(self.site)
        self.tool("python3", "exec '%s' \"$@\"" % pythons[0])
        first = self.run_with({}, RACY_NS=0)
        self.tool("python3", "exec '%s' \"$@\"" % pythons[1])
        self.assertEqual(self.run_with(self.index, RACY_NS=0), first)
        self.assertLess(self.wire, len(self.archive) // 2)


class CrcTest(unittest.TestCase):
    def test_combined_crc_is_the_crc_of_the_joined_bytes(self):
        program = base.program_definitions(base.SCRIPT, "remote_backup")
        rng = random.Random(3)
        data = rng.getrandbits(8 * 70000).to_bytes(70000, "little")
        for cut in (0, 1, 4096, 69999, 70000):
            first, second = data[:cut], data[cut:]
            self.assertEqual(program.crc32_combine(zlib.crc32(first), zlib.crc32(second), len(second)),
                             zlib.crc32(data), cut)
        zeros = bytes(5 << 20)
        self.assertEqual(program.crc32_combine(zlib.crc32(data), zlib.crc32(zeros), len(zeros)),
                         zlib.crc32(zeros, zlib.crc32(data)))

    def test_only_chunks_that_shrink_are_deflated(self):
        program = base.program_definitions(base.SCRIPT, "remote_backup")
        rng = random.Random(5)
        noise = rng.getrandbits(8 << 20).to_bytes(1 << 20, "little")
        text = b"<?php echo $page; ?>\n" * 50000
        self.assertFalse(program.worth_deflating(noise))
        self.assertTrue(program.worth_deflating(text))
        # A group of small files mixes both: either half that shrinks keeps it deflated.
        self.assertTrue(program.worth_deflating(noise[:1 << 19] + text[:1 << 19]))
        self.assertTrue(program.worth_deflating(text[:1 << 19] + noise[:1 << 19]))


class HeaderTest(unittest.TestCase):
    def test_headers_written_without_tarfile_read_back_as_the_members_they_describe(self):
        program = base.program_definitions(base.SCRIPT, "remote_backup")

        def member(name, kind=tarfile.REGTYPE, **fields):
            info = program._Member(name)
            info.type, info.mtime, info.mode, info.uid, info.gid = kind, 1796796049.0219033, 0o644, 33, 33
            info.uname = info.gname = "www-data"
            for key, value in fields.items():
                setattr(info, key, value)
            return info
        common = [member("var/www/index.php", size=700), member("var/www", tarfile.DIRTYPE, mode=0o2775),
                  member("var/www/current", tarfile.SYMTYPE, linkname="releases/7", mtime=1700000000),
                  member("var/www/again.php", tarfile.LNKTYPE, linkname="var/www/index.php", mode=0o4755),
                  member("n" * 100, size=1 << 32, mtime=0.5, uname="")]
        others = [member("n" * 101), member("caf\xe9.php"), member("var/x", uid=1 << 21),
                  member("var/y", linkname=os.fsdecode(b"\xff"), kind=tarfile.SYMTYPE)]
        for info in common + others:
            header = info.tobuf(tarfile.PAX_FORMAT, "utf-8", "surrogateescape")
            self.assertEqual(program.fast_header(info) is not None, info in common, info.name)
            if sys.version_info >= (3, 11):  # whose tarfile writes the same fields
                self.assertEqual(header, tarfile.TarInfo.tobuf(info, tarfile.PAX_FORMAT, "utf-8", "surrogateescape"))
            with tarfile.open(fileobj=io.BytesIO(header + bytes(1024)), mode="r:") as tar:
                read = tar.next()
            self.assertEqual((read.name, read.type, read.mode, read.uid, read.gid, read.mtime, read.linkname,
                              read.uname, read.gname, read.size),
                             (info.name, info.type, info.mode, info.uid, info.gid, info.mtime, info.linkname,
                              info.uname, info.gname, info.size))

    def test_members_added_without_tarfile_are_those_tarfile_adds(self):
        program = base.program_definitions(base.SCRIPT, "remote_backup")
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        # Sizes around the read size; an owner without a name, where allowed.
        for size in (0, 700, 1 << 20, (1 << 20) + 3, 2 << 20):
            path = os.path.join(folder, "f%d" % size)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            if size == 700 and os.geteuid() == 0:
                os.chown(path, 54321, 54322)
            archives = []
            for direct in (False, True):
                out = io.BytesIO()
                with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as tar, open(path, "rb") as f:
                    tar.tarinfo, tar.copybufsize = program._Member, 1 << 20
                    if direct:
                        program.add_member(tar, program.regular_info(tar, path.lstrip("/"), os.fstat(f.fileno())), f)
                    else:
                        tar.addfile(tar.gettarinfo(path, path.lstrip("/"), f), f)
                archives.append(out.getvalue())
            self.assertEqual(archives[1], archives[0], size)


if __name__ == "__main__":
    unittest.main()
