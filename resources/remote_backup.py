# Tesmora site backup: runs once on the server. The client starts it through
# a short loader, python3 -X utf8 -c "...", that reads this text from
# standard input and runs it with IN, the buffered standard input. The
# request follows as a frame (its decimal length, a line feed, the JSON):
# {"paths": [...], "databases": ["mysql:NAME", ...], "detect": true,
# "mode": "backup", "detect" or "probe", "previous": INDEX}.
# Writes a gzip PAX tar of the paths and the dumps of their databases to
# standard output; with the previous snapshot's index, in frames that let
# the client copy each unchanged segment from the previous archive, and the
# new archive's index last (see _Compressor); in "detect" mode, only the JSON list of those databases;
# in "probe" mode, only {"probe": "ok", "python": VERSION} once it has shown
# that a backup can start. Standard error carries
# progress lines (0x1E "progress PHASE BYTES TOTAL" LF, at most one a second)
# and, after the last of them, any error text. Exit status: 0 for a complete
# archive, 1 for any failure, 128 + signal number after SIGHUP or SIGTERM.
# Needs python3 3.7+, stdlib only; older versions must still parse this text
# so that they can say what is missing.
import sys

if sys.version_info < (3, 7):
    # 3.6 lacks SQLite's backup API and would fail with an AttributeError.
    raise SystemExit("python3 3.7 or newer is needed on the server; "
                     "found %d.%d" % sys.version_info[:2])

import codecs
import collections
import errno
import fcntl
import hashlib
import io
import json
import os
import pathlib
import queue
import re
import shutil
import signal
import sqlite3
import stat
import struct
import subprocess
import tarfile
import tempfile
import threading
import time
import types
import urllib.parse
import zlib

# The first SIGHUP or SIGTERM ends the run with 128 + its number, held back
# while the temporary directory is made or removed; later ones are ignored.
_signals = {"received": None, "held": False}


def interrupted(signum, frame):
    if _signals["received"] is None:
        _signals["received"] = signum
        if not _signals["held"]:
            raise SystemExit(128 + signum)


def _hold(held):
    _signals["held"] = held
    if not held and _signals["received"] is not None:
        raise SystemExit(128 + _signals["received"])


for _name in ("SIGHUP", "SIGTERM"):
    if hasattr(signal, _name):
        signal.signal(getattr(signal, _name), interrupted)

MANIFEST_NAME = "__Tesmora_Backup__/manifest.json"
CONSISTENCY = ("SQLite uses online backup, MySQL/MariaDB and PostgreSQL one "
               "transaction per dump; other files are a live filesystem "
               "copy, not a coordinated VM snapshot.")
SQLITE_HEADER = b"SQLite format 3\x00"
SIDECARS = ("-wal", "-shm", "-journal")
# A database copy fails once a lock let no page be copied for STALL_LIMIT
# seconds; each try waits at most LOCK_WAIT seconds for the lock.
STALL_LIMIT = 120.0
LOCK_WAIT = 5.0
# A copy in steps that writes made start over this often is made in one.
STEP_PAGES = 512
RESTART_LIMIT = 3
UNLOCKED_TRIES = 2
# Free space left in the temporary folder after a database copy.
SPACE_RESERVE = 64 << 20
# /tmp is often kept in memory, and a database copy can be large.
TEMPORARY_FOLDERS = ("/var/tmp", "/tmp")
GONE = (FileNotFoundError, NotADirectoryError)
WARN_COUNT = "Disappeared while sizes were counted: "
WARN_COPY = "Disappeared during live copy: "
WARN_SPECIAL = "Special device/socket/FIFO omitted: "
WARN_EMPTY = "Selected source holds no file: "
WARN_DAMAGED = "Not a readable SQLite database, stored as it is: "
WARN_SHRANK = "Shrank while copied, the rest stored as zeros: "
WARN_GREW = "Grew while copied, stored at its size when opened: "
NOFOLLOW = os.O_RDONLY
for _name in ("O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"):
    NOFOLLOW |= getattr(os, _name, 0)
FOLLOW = NOFOLLOW & ~getattr(os, "O_NOFOLLOW", 0)
# The number of the ioprio_set system call by machine.
IOPRIO_SET = {"x86_64": 251, "aarch64": 30, "riscv64": 30, "i686": 289,
              "armv7l": 314, "ppc64le": 273, "s390x": 282}


class Failure(Exception):
    """A failure the user can act on: its message alone is reported, as
    one line."""


class Damaged(Exception):
    """SQLite reads the file as no database, or as a broken one."""


class Restarted(Exception):
    pass


def unreadable(path, error):
    return Failure("Cannot read %s: %s" % (path, error.strerror or error))


def bytes_read():
    try:
        with open("/proc/self/io", "rb") as counters:
            return int(counters.read().split(b"rchar:")[1].split()[0])
    except (OSError, ValueError, IndexError):
        return None


class Progress:
    """Reports the phase and the bytes read so far (entries listed during
    discovery) against the planned total on standard error, once a second,
    from a thread of its own: a database copied in one step gives no
    callbacks, and the client gives up on counters that stay still for long.
    Each line starts with 0x1E, which the error text never holds, and goes
    out in one write. Without standard error the client is gone: the run
    ends at once, cleanup included."""

    def __init__(self):
        self.phase = "discovery"
        self.done = 0
        self.total = 0
        self.counted = False  # the total holds every file's size
        self.reads = None  # (bytes_read() then, most to add) during a copy
        self.lock = threading.RLock()
        self.stopped = threading.Event()

    def start(self):
        thread = threading.Thread(target=self._report)
        thread.daemon = True
        thread.start()

    def _report(self):
        while True:
            with self.lock:
                if self.stopped.is_set():
                    return
                done = self.done
                if self.reads:
                    began, most = self.reads
                    done += max(0, min(most, (bytes_read() or began) - began))
                line = "\x1eprogress %s %d %d\n" % (
                    self.phase, done, self.total if self.counted else 0)
                try:
                    os.write(2, line.encode("ascii"))
                except OSError:
                    os.kill(os.getpid(), signal.SIGTERM)
                    return
            if self.stopped.wait(1.0):
                return

    def stop(self):
        """Returns once no progress line can be written any more."""
        self.stopped.set()
        with self.lock:  # waits for a line being written
            pass


PROGRESS = Progress()


def lower_priority():
    # The site keeps answering while it is read. Both settings are per
    # thread, and passed on to threads started later.
    try:
        os.nice(10)
    except OSError:
        pass
    try:
        import ctypes
        ctypes.CDLL(None).syscall(*map(ctypes.c_long, (
            IOPRIO_SET[os.uname().machine], 1, 0, 2 << 13 | 7)))
    except Exception:
        pass


def between(parent, path):
    """Whether the walk of parent meets path: no link, which it stores
    rather than follows, is on the way."""
    if not path.startswith(parent + "/"):
        return False
    step = parent
    for name in path[len(parent) + 1:].split("/"):
        step += "/" + name
        if os.path.islink(step):
            return False
    return True


def effective_roots(entries):
    """Normalised roots without duplicates and without those another root's
    walk meets, shallowest first, then by text."""
    invalid = Failure("Select absolute real directories, not /")
    if not isinstance(entries, list) or not entries:
        raise invalid
    roots = set()
    for entry in entries:
        if not isinstance(entry, str):
            raise invalid
        path = os.path.normpath(entry)
        if path.startswith("//"):  # POSIX normpath may keep two slashes
            path = "/" + path.lstrip("/")
        if not os.path.isabs(path) or path == "/":
            raise invalid
        roots.add(path)
    kept = []
    for root in sorted(roots, key=lambda p: (p.count("/"), p)):
        if not any(between(parent, root) for parent in kept):
            kept.append(root)
    return kept


def _listing_failed(error):
    # A vanished directory is reported by the pass that meets it; any other
    # listing error would silently lose its contents.
    if not isinstance(error, GONE):
        raise Failure("Cannot read folder %s: %s" % (
            error.filename, error.strerror or error))


def files(roots, tally=True):
    """(root, path) for each root, then per directory its sorted
    subdirectories and sorted other entries, depth first, other roots left
    out. Only a root that is a link is followed. No recursion: no depth of
    folders may reach Python's recursion limit. With tally, the entries
    listed during discovery count as its progress."""
    selected = set(roots)
    for root in roots:
        yield root, root
        pending = [root] if os.path.isdir(root) else []
        while pending:
            top = pending.pop()
            folders, others = [], []
            try:
                with os.scandir(top) as listing:
                    for entry in listing:
                        if entry.path not in selected:
                            (folders if entry.is_dir(follow_symlinks=False)
                             else others).append(entry.name)
                        if tally and PROGRESS.phase == "discovery":
                            PROGRESS.done += 1
            except OSError as error:
                _listing_failed(error)
                continue
            folders.sort()
            others.sort()
            for name in folders + others:
                yield root, os.path.join(top, name)
            pending += [os.path.join(top, n) for n in reversed(folders)]


class _Opened:
    """An open descriptor, closed at the end of a with block: a file object
    would cost three more system calls a member."""

    def __init__(self, descriptor):
        self.descriptor = descriptor

    def fileno(self):
        return self.descriptor

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        os.close(self.descriptor)


def open_regular(path, follow=False):
    """A descriptor of the regular file at path and its status, opened
    without following a link (unless follow) or waiting on a FIFO; None when
    it is no longer a regular file."""
    try:
        descriptor = os.open(path, FOLLOW if follow else NOFOLLOW)
    except OSError as error:
        if error.errno == errno.ELOOP:
            return None
        if isinstance(error, GONE):
            raise
        raise unreadable(path, error)
    status = os.fstat(descriptor)
    if not stat.S_ISREG(status.st_mode):
        os.close(descriptor)
        return None
    return descriptor, status


def discover(roots):
    """The configuration files that may name databases, in walk order."""
    return [path for _, path in files(roots) if is_config(path)]


class SizeCount:
    """The total size of the regular files, for the progress report, counted
    in a thread of its own: the dumps and the archive need not wait for a
    look at every file. A file that cannot be looked at is the archive's to
    report; one gone meanwhile is a warning, placed where a count before the
    run would have put it."""

    def __init__(self, roots, manifest):
        self.roots = roots
        self.manifest = manifest
        self.at = len(manifest["warnings"])
        self.warnings = []
        self.thread = threading.Thread(target=self._count)
        self.thread.daemon = True
        self.thread.start()

    def _count(self):
        total = 0
        try:
            for root, path in files(self.roots, tally=False):
                try:
                    status = os.stat(path) if path == root else \
                        os.lstat(path)
                except GONE:
                    self.warnings.append(WARN_COUNT + path)
                    continue
                if stat.S_ISREG(status.st_mode):
                    total += status.st_size
        except Exception:
            pass
        with PROGRESS.lock:
            PROGRESS.total += total
            PROGRESS.counted = True

    def join(self):
        self.thread.join()
        self.manifest["warnings"][self.at:self.at] = self.warnings
        self.warnings = []


def remove_copy(target):
    for name in (target,) + tuple(target + suffix for suffix in SIDECARS):
        try:
            os.unlink(name)
        except FileNotFoundError:
            pass


def backup_once(uri, path, steps, workdir):
    """Copies the database at uri with SQLite's backup API into a new file
    in workdir, steps pages at a time (all if negative), and checks the copy;
    returns its path. Only time without a page copied counts."""
    descriptor, target = tempfile.mkstemp(suffix=".sqlite3", dir=workdir)
    os.close(descriptor)
    watch = {"moved": time.monotonic(), "copied": -1, "restarts": 0}

    def progress(status, remaining, total):
        now = time.monotonic()
        if status in (5, 6):  # SQLITE_BUSY, SQLITE_LOCKED
            if now - watch["moved"] > STALL_LIMIT:
                raise Failure("SQLite database %s stayed locked by another "
                              "program for %d s" % (path, STALL_LIMIT))
            return
        if total - remaining <= watch["copied"]:  # a write: started over
            watch["restarts"] += 1
            if watch["restarts"] >= RESTART_LIMIT:
                raise Restarted()
        watch["copied"], watch["moved"] = total - remaining, now

    try:
        source = sqlite3.connect(uri, uri=True,
                                 timeout=min(LOCK_WAIT, STALL_LIMIT))
        try:
            copy = sqlite3.connect(target)
            try:
                # The copy lives only until it is archived.
                copy.execute("PRAGMA synchronous=OFF")
                source.backup(copy, pages=steps, sleep=0.02, progress=progress)
                # Mapped, the check reads the copy without a call per page.
                copy.execute("PRAGMA mmap_size=%d" % (1 << 40))
                row = copy.execute("PRAGMA quick_check").fetchone()
            finally:
                copy.close()
        finally:
            source.close()
        if not row or row[0] != "ok":
            raise Damaged("quick_check: %s" % (row and row[0]))
        return target
    except BaseException:
        remove_copy(target)
        raise


def unchanging(path):
    """What a writer changes: the file's identity, size, times and change
    counter, and those of its -wal file."""
    try:
        descriptor = os.open(path, NOFOLLOW)
        try:
            status = os.fstat(descriptor)
            counter = os.pread(descriptor, 4, 24)
        finally:
            os.close(descriptor)
        wal = os.stat(path + "-wal") if os.path.lexists(path + "-wal") else 0
    except OSError as error:
        raise unreadable(path, error)
    return [(s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns)
            for s in (status, wal) if s] + [counter]


def unlocked_copy(path, workdir, wal_file):
    """A copy made without locks; None if the database changed meanwhile.
    With no -wal file, the database file holds every commit."""
    before = unchanging(path)
    staged = None
    try:
        if wal_file:
            descriptor, staged = tempfile.mkstemp(suffix=".sqlite3",
                                                  dir=workdir)
            os.close(descriptor)
            for suffix in ("", "-wal"):
                shutil.copyfile(path + suffix, staged + suffix)
            uri = pathlib.Path(staged).as_uri()
        else:
            uri = pathlib.Path(path).as_uri() + "?mode=ro&immutable=1"
        target = backup_once(uri, path, -1, workdir)
    except (sqlite3.Error, Damaged, FileNotFoundError):
        # A write meanwhile can make the copy unreadable.
        if unchanging(path) == before:
            raise
        return None
    finally:
        if staged:
            remove_copy(staged)
    if unchanging(path) == before:
        return target
    remove_copy(target)


def no_room(workdir, path, detail=""):
    return Failure("Not enough free space in %s for a copy of the SQLite "
                   "database %s%s" % (os.path.dirname(workdir), path, detail))


def snapshot(path, wal, workdir):
    """A checked copy of the database in workdir; raises Damaged when SQLite
    cannot read the file as a database. A reader would create a missing -wal
    or -shm file of a WAL database, owned by the SSH user, which the site's
    program may then be unable to write: such a database is copied without
    locks. Under locks, a WAL database is copied in one step, which does not
    block writers; a rollback-journal one in steps so that writers get turns,
    and after a few restarts, in one step under a read lock."""
    try:
        needed = sum(os.stat(path + s).st_size for s in ("", "-wal")
                     if os.path.exists(path + s)) + SPACE_RESERVE
        free = os.statvfs(workdir)
        if free.f_bavail * free.f_frsize < needed:
            raise no_room(workdir, path, ": %d MB needed, %d MB free" % (
                needed >> 20, free.f_bavail * free.f_frsize >> 20))
        for _ in range(UNLOCKED_TRIES):
            if wal and not os.path.lexists(path + "-wal"):
                target = unlocked_copy(path, workdir, False)
            elif wal and not os.path.lexists(path + "-shm"):
                target = unlocked_copy(path, workdir, True)
            else:
                uri = pathlib.Path(path).as_uri() + "?mode=ro"
                try:
                    return backup_once(uri, path, -1 if wal else STEP_PAGES,
                                       workdir)
                except Restarted:
                    return backup_once(uri, path, -1, workdir)
            if target:
                return target
    except sqlite3.Error as error:
        # Python before 3.11 reports every backup error as OperationalError.
        if type(error) is sqlite3.DatabaseError or str(error) in (
                "database disk image is malformed", "file is not a database"):
            raise Damaged(str(error))
        if "full" in str(error):
            raise no_room(workdir, path)
        raise Failure("Cannot copy SQLite database %s: %s" % (path, error))
    except OSError as error:
        if error.errno == errno.ENOSPC:
            raise no_room(workdir, path)
        raise unreadable(path, error)
    raise Failure("SQLite database %s changed each time it was copied "
                  "without locks; back up at a quiet time" % path)


def waiting(function, *arguments):
    """Runs function in a thread of its own while this one waits: SQLite
    copies a database in one call, and a signal must not wait for its end."""
    outcome = {}

    def run():
        try:
            outcome["value"] = function(*arguments)
        except BaseException as error:
            outcome["error"] = error
    worker = threading.Thread(target=run)
    worker.daemon = True
    worker.start()
    while worker.is_alive():
        worker.join(0.2)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


class Reader:
    """A member's data for the tar writer: a prefix, then the file's regions
    (offset, length). What a file that shrank meanwhile no longer holds
    reads as zeros, as in a log truncated in place."""

    def __init__(self, descriptor, path, regions, prefix=b""):
        self.descriptor = descriptor
        self.path = path
        self.regions = collections.deque(regions)
        self.prefix = prefix
        self.shrank = False

    def read(self, size):
        pieces = []
        while size and (self.prefix or self.regions):
            if self.prefix:
                piece, self.prefix = self.prefix[:size], self.prefix[size:]
            else:
                offset, length = self.regions.popleft()
                wanted = min(size, length)
                try:
                    piece = os.pread(self.descriptor, wanted, offset)
                except OSError as error:
                    raise unreadable(self.path, error)
                if len(piece) < wanted:
                    self.shrank = True
                    piece += bytes(wanted - len(piece))
                if wanted < length:
                    self.regions.appendleft((offset + wanted, length - wanted))
                PROGRESS.done += wanted
            pieces.append(piece)
            size -= len(piece)
        return b"".join(pieces)


def data_regions(descriptor, size):
    """(offset, length) of the data of a file with holes, else None."""
    regions = []
    try:
        while not regions or sum(regions[-1]) < size:
            start = os.lseek(descriptor, sum(regions[-1]) if regions else 0,
                             os.SEEK_DATA)
            if start >= size:
                break
            end = min(os.lseek(descriptor, start, os.SEEK_HOLE), size)
            regions.append((start, end - start))
    except OSError as error:
        if error.errno != errno.ENXIO:  # ENXIO: nothing but a hole follows
            return None
    except AttributeError:
        return None
    return None if regions == [(0, size)] else regions


def sparse(info, regions):
    """Makes info a PAX sparse file's header (GNU 1.0); returns the map of
    regions that precedes their data. The plain short name needs no record
    of its own, which could hide the real name from some readers."""
    size = info.size
    if not regions or sum(regions[-1]) < size:
        regions = regions + [(size, 0)]  # marks the end of a final hole
    data = ("%d\n" % len(regions) + "".join(
        "%d\n%d\n" % r for r in regions)).encode()
    data += bytes(-len(data) % tarfile.BLOCKSIZE)
    info.pax_headers = {"GNU.sparse.major": "1", "GNU.sparse.minor": "0",
                        "GNU.sparse.name": info.name,
                        "GNU.sparse.realsize": str(size)}
    info.name = "GNUSparseFile.0/data"
    info.size = len(data) + sum(length for _, length in regions)
    return data


def store_file(tar, path, info, descriptor, status, workdir, manifest,
               sidecars, links, previous):
    """Adds an open regular file: as a hard link, a database copy, or its
    bytes without holes."""
    key = (status.st_dev, status.st_ino)
    signature = (status.st_size, status.st_mtime_ns, status.st_ctime_ns)
    if status.st_nlink > 1:
        # A reused inode or a changed file must not link to old data.
        first = links.get(key)
        if first and first[1] == signature:
            info.type, info.linkname, info.size = tarfile.LNKTYPE, first[0], 0
            add_member(tar, info)
            tar.fileobj.record(member_record(info.name, "h", status,
                                             first[0]))
            return
        links[key] = (info.name, signature)
    size = info.size
    holes = status.st_blocks * 512 < size
    try:
        # Without holes the first read is of data, its start the test for a
        # database: a small file costs one read.
        header = os.pread(descriptor, 100 if holes else max(
            100, min(size, tar.copybufsize)), 0)
    except OSError as error:
        raise unreadable(path, error)
    copy = None
    if header[:16] == SQLITE_HEADER:
        tar.fileobj.release()
        copy = database_copy(path, header, status, workdir, manifest)
    if copy:
        try:
            with open(copy, "rb") as source:
                info.size = os.fstat(source.fileno()).st_size
                manifest["sqlite"].append(
                    {"path": path, "quick_check": "ok", "bytes": info.size})
                sidecars.update(path + suffix for suffix in SIDECARS)
                store_pieces(tar, info, member_record(info.name, "s", status),
                             page_pieces(tar.fileobj, source.fileno(),
                                         info.size, path), previous)
        finally:
            remove_copy(copy)
    else:
        alone = size >= SEGMENT_ALONE
        if alone:
            tar.fileobj.cut()
        regions = data_regions(descriptor, size) if holes else None
        if regions is not None:
            reader = Reader(descriptor, path, regions, sparse(info, regions))
        else:
            # A file that shrank before this read reads on as zeros.
            read = header[:size] if not holes else b""
            reader = Reader(descriptor, path, [(len(read), size - len(read))]
                            if len(read) < size else [], read)
        began = PROGRESS.done
        add_member(tar, info, reader)
        grew = os.fstat(descriptor).st_size > size
        # A file that changed while read is sent afresh next time.
        tar.fileobj.record(member_record(
            info.name, "x" if reader.shrank or grew else "f", status))
        if alone:
            tar.fileobj.cut()
        PROGRESS.done = began + size  # holes included
        if reader.shrank:
            manifest["warnings"].append(WARN_SHRANK + path)
        elif grew:
            manifest["warnings"].append(WARN_GREW + path)
        info.size = size
    manifest["files"] += 1
    manifest["logical_bytes"] += info.size


def database_copy(path, header, status, workdir, manifest):
    """A checked copy, made just before it is archived so that only the
    largest database needs room; None, with a warning, for a file SQLite
    cannot read: an upload must not stop every backup. Progress counts what
    the copy and its check read."""
    planned = 2 * status.st_size
    began = bytes_read()
    with PROGRESS.lock:
        PROGRESS.phase = "database"
        PROGRESS.total += planned
        PROGRESS.reads = began is not None and (began, planned)
    try:
        return waiting(snapshot, path, header[18:19] == b"\x02", workdir)
    except Damaged as damage:
        manifest["warnings"].append("%s%s (%s)" % (WARN_DAMAGED, path, damage))
    finally:
        with PROGRESS.lock:
            PROGRESS.reads = None
            PROGRESS.done += planned
            PROGRESS.phase = "archive"


def store(tar, path, follow, workdir, manifest, sidecars, links,
          previous=None):
    """Adds one path to the archive, or records why it was left out; true
    for a regular file. A root (follow) is stored as what it leads to."""
    arcname = path.lstrip("/")
    handle = None
    try:
        status = os.stat(path) if follow else os.lstat(path)
        mode = status.st_mode
        if stat.S_ISREG(mode):
            opened = open_regular(path, follow)
            if opened is None:  # replaced since it was listed
                manifest["warnings"].append(WARN_COPY + path)
                return False
            descriptor, status = opened
            handle = _Opened(descriptor)
            # The header comes from the open file, so that header and data
            # describe the same file even if the path is replaced meanwhile.
            info = regular_info(tar, arcname, status)
        elif stat.S_ISDIR(mode) or stat.S_ISLNK(mode):
            tar.dereference = follow
            info = tar.gettarinfo(path, arcname)
        else:
            manifest["warnings"].append(WARN_SPECIAL + path)
            return False
    except GONE:
        manifest["warnings"].append(WARN_COPY + path)
        return False
    except OSError as error:
        raise unreadable(path, error)
    finally:
        tar.dereference = False
    if handle is not None:
        with handle:
            store_file(tar, path, info, descriptor, status, workdir, manifest,
                       sidecars, links, previous)
        return True
    if info is None or not (info.isdir() or info.issym()):
        # Changed type between the two looks.
        manifest["warnings"].append(WARN_COPY + path)
        return False
    add_member(tar, info)
    tar.fileobj.record(member_record(
        info.name, "d" if info.isdir() else "l", status, info.linkname))
    return False


# tarfile builds each header field by field through dictionaries, which
# for a site of small files costs the server more than reading them. The
# common member (an ASCII name that fits, an mtime with a fraction of a
# second) gets its pax and ustar headers here; any other goes to tarfile.
FAST_TYPES = (tarfile.REGTYPE, tarfile.DIRTYPE, tarfile.SYMTYPE,
              tarfile.LNKTYPE)
USTAR_TAIL = b"ustar\x0000"


def ustar_block(name, mode, uid, gid, size, mtime, kind, link=b"",
                uname=b"", gname=b""):
    block = b"".join((
        name.ljust(100, b"\0"), b"%07o\0%07o\0%07o\0%011o\0%011o\0" % (
            mode, uid, gid, size, mtime), b"        ", kind,
        link.ljust(100, b"\0"), USTAR_TAIL, uname.ljust(32, b"\0"),
        gname.ljust(32, b"\0"))).ljust(512, b"\0")
    # The checksum counts its own field as spaces.
    return block[:148] + b"%06o\0" % sum(block) + block[155:]


def fast_header(info):
    """The header blocks of a member as tarfile writes them in pax format,
    or None where it is not the common case."""
    name = info.name
    if info.type == tarfile.DIRTYPE and not name.endswith("/"):
        name += "/"
    try:
        texts = [text.encode("ascii") for text in (
            name, info.linkname, info.uname, info.gname)]
    except UnicodeEncodeError:
        return None
    mtime = info.mtime
    if info.type not in FAST_TYPES or info.pax_headers or \
            len(texts[0]) > 100 or len(texts[1]) > 100 or \
            len(texts[2]) > 32 or len(texts[3]) > 32 or \
            not (0 <= info.uid < 1 << 21 and 0 <= info.gid < 1 << 21 and
                 0 <= info.size < 1 << 33 and 0 <= round(mtime) < 1 << 33):
        return None
    header = ustar_block(texts[0], info.mode & 0o7777, info.uid, info.gid,
                         info.size, round(mtime), info.type, *texts[1:])
    if not isinstance(mtime, float):
        return header
    body = b" mtime=%s\n" % str(mtime).encode("ascii")
    length = len(body) + len(str(len(body)))
    length = len(body) + len(str(length))  # the length counts its own digits
    record = b"%d%s" % (length, body)
    return ustar_block(b"././@PaxHeader", 0, 0, 0, len(record), 0,
                       tarfile.XHDTYPE) + record.ljust(512, b"\0") + header


def regular_info(tar, arcname, status):
    """What tar.gettarinfo makes of an open regular file, from the status
    already taken of it."""
    info = tar.tarinfo(arcname)
    info.mode = status.st_mode
    info.uid, info.gid = status.st_uid, status.st_gid
    info.size = status.st_size
    info.mtime = status.st_mtime
    for module, lookup, number, field in (
            (getattr(tarfile, "pwd", None), "getpwuid", info.uid, "uname"),
            (getattr(tarfile, "grp", None), "getgrgid", info.gid, "gname")):
        if module:
            try:
                setattr(info, field, getattr(module, lookup)(number)[0])
            except KeyError:
                pass
    return info


def add_member(tar, info, data=None):
    """tar.addfile(info, data) with fewer steps for the common member: its
    header, data and padding go to the writer at once when the data is one
    read."""
    header = fast_header(info)
    if header is None:
        return tar.addfile(info, data)
    size = info.size if data is not None else 0
    padding = bytes(-size % tarfile.BLOCKSIZE)
    out = tar.fileobj
    if size <= tar.copybufsize:
        out.write(b"".join((header, data.read(size), padding)) if size
                  else header)
    else:
        out.write(header)
        tarfile.copyfileobj(data, out, size, bufsize=tar.copybufsize)
        out.write(padding)
    tar.offset += len(header) + size + len(padding)


class _Member(tarfile.TarInfo):
    def tobuf(self, format=tarfile.DEFAULT_FORMAT, encoding=tarfile.ENCODING,
              errors="surrogateescape"):
        header = format == tarfile.PAX_FORMAT and fast_header(self)
        return header or super().tobuf(format, encoding, errors)


def _cached(lookup):
    # tarfile looks the owner and group names up once per member, and each
    # lookup may read the user database afresh.
    names = {}

    def cached(number):
        if number not in names:
            try:
                names[number] = lookup(number)
            except KeyError:
                names[number] = None
        if names[number] is None:
            raise KeyError(number)
        return names[number]
    return cached


class _Lookups:
    def __init__(self, **functions):
        self.__dict__.update(functions)


if getattr(tarfile, "pwd", None):
    tarfile.pwd = _Lookups(getpwuid=_cached(tarfile.pwd.getpwuid))
if getattr(tarfile, "grp", None):
    tarfile.grp = _Lookups(getgrgid=_cached(tarfile.grp.getgrgid))


class _Forgotten(list):
    """tarfile's list of members: the archive is only ever written, so the
    members written need not be kept."""

    def append(self, member):
        pass


class _NoLinks(dict):
    """tarfile's table of hard links, kept empty: store_file decides."""

    def __contains__(self, key):
        return False

    def __setitem__(self, key, value):
        pass


# The archive is one gzip member made of independent segments: each starts
# with an empty dictionary and ends byte-aligned (a full flush), so any
# segment inflates on its own and segments can be laid side by side again.
# A segment is one large file, one database dump, or a group of smaller
# members in walk order that ends after a member whose path hashes to a hit
# once the group holds SEGMENT_MIN bytes, or at SEGMENT_MAX: adding or
# removing a file changes its own group, not every group after it.
SEGMENT_MIN = 16 << 10
SEGMENT_MAX = 8 << 20
SEGMENT_ALONE = 1 << 20
SEGMENT_HIT = 15
OUTPUT_BATCH = 256 << 10
OUTPUT_DELAY = 0.05
GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff"
# The last deflate block: final, fixed codes, empty.
DEFLATE_END = b"\x03\x00"
# A chunk whose samples barely shrink at level 1 (photos, video, archives)
# is stored: deflate spends on it most of its time for a percent or less.
STORE_SAMPLE = 4 << 10
STORE_ABOVE = 0.97


def worth_deflating(data):
    """Whether a chunk of tar bytes shrinks: one of two samples, away from
    the member headers at its start, must."""
    for start in (len(data) // 4, len(data) * 3 // 4):
        sample = data[start:start + STORE_SAMPLE]
        if len(zlib.compress(sample, 1)) < len(sample) * STORE_ABOVE:
            return True
    return False


CRC_POLY = 0xEDB88320


def _crc_multiply(a, b):
    """a times b modulo the CRC-32 polynomial, both reflected."""
    product, bit = 0, 1 << 31
    while a:
        if a & bit:
            product ^= b
            a ^= bit
        bit >>= 1
        b = (b >> 1) ^ CRC_POLY if b & 1 else b >> 1
    return product


# x to the power 2 to the n, for n from 0, modulo the polynomial.
_CRC_POWERS = [1 << 30]
for _n in range(63):
    _CRC_POWERS.append(_crc_multiply(_CRC_POWERS[-1], _CRC_POWERS[-1]))


def crc32_combine(first, second, length):
    """The CRC-32 of A followed by B from those of A and B and B's length,
    as zlib's crc32_combine, which Python does not offer: A's CRC is moved
    on by 8 * length zero bits."""
    power, n = 1 << 31, 3  # the unit; length counts bytes, 2**3 bits each
    while length:
        if length & 1:
            power = _crc_multiply(_CRC_POWERS[n & 63], power)
        length >>= 1
        n += 1
    return _crc_multiply(power, first) ^ second


def segment_ends_after(name, held):
    """Whether a group of held bytes ends after the member called name."""
    if held >= SEGMENT_MAX:
        return True
    # Not CRC-32: it is linear, and names that differ in a digit or two
    # would hit together or never.
    return held >= SEGMENT_MIN and not hashlib.md5(
        name.encode("utf-8", "surrogateescape")).digest()[0] & SEGMENT_HIT


class _Compressor:
    """Takes the tar stream; a second thread compresses it segment by
    segment and writes it to the descriptor. zlib and the write run without
    the interpreter lock, so they overlap with reading files. At most a few
    1 MiB chunks are in flight. After a failure the stream is cut off and
    whatever the writers still emit is dropped, so a broken archive never
    ends like a whole one.

    Framed (for a client that sent the previous snapshot's index), the
    output is frames, each a kind byte and a 4-byte number: b"H" and the
    length of this archive's index header, first; b"D" and the length of
    archive bytes that follow; b"R" and the number of a segment of the
    index the client sent, for it to copy from the archive it came from,
    with the entry it has there but for its offset; b"S" and the length of
    the index entry of the segment just sent, after its bytes, so that a run
    cut off keeps every segment that wholly arrived; b"E" and 0, last. The header and entries are zlib-compressed
    JSON. Plain, the output is the archive itself."""

    def __init__(self, descriptor, header=None):
        self.descriptor = descriptor
        self.framed = header is not None
        self.header = header
        self.cut_off = False
        self.failure = None
        self.pending = []
        self.size = 0
        self.position = 0
        self.held = 0      # tar bytes in the segment being written
        self.members = []  # and the records of its members
        # Whole small segments go to the worker together: a hand-over costs
        # the interpreter lock twice, more than most groups take to deflate.
        self.batch = []
        self.batched = 0
        self.chunks = queue.Queue(4)
        # The worker's own: where the output stands, the open segment.
        self.out = bytearray()
        self.drained = time.monotonic()
        self.started = False
        self.offset = 0
        self.level = 1
        self.deflate = zlib.compressobj(1, zlib.DEFLATED, -15)
        self.unflushed = False  # input since the last full flush
        self.segment = [0, 0, 0]  # its offset, tar bytes, CRC-32
        self.digest = hashlib.sha256()
        self.total = [0, 0]       # tar bytes, CRC-32 of the whole
        self.segments = []
        self.worker = threading.Thread(target=self._compress)
        self.worker.daemon = True
        self.worker.start()

    def write(self, data):
        if not self.cut_off:
            self._check()
            self.position += len(data)
            self.held += len(data)
            self.pending.append(bytes(data))
            self.size += len(data)
            if self.size >= 1 << 20:
                self._hand_over()
        return len(data)

    def flush(self):
        pass

    def tell(self):
        return self.position

    def _check(self):
        if self.failure is not None:  # raised afresh in this thread
            raise self.failure.with_traceback(None)

    def _taken(self):
        chunk = self.pending[0] if len(self.pending) == 1 else b"".join(
            self.pending)
        self.pending, self.size = [], 0
        return chunk

    def _hand_over(self):
        if self.pending:
            self._put(self._taken())

    def release(self):
        """Hands the segments gathered to the worker now, before a wait."""
        if self.batch:
            batch, self.batch, self.batched = self.batch, [], 0
            self.chunks.put(batch)

    def _put(self, item):
        """Queues item for the worker, after the segments gathered."""
        self.release()
        self.chunks.put(item)

    def record(self, member):
        """Notes what the member just written was, for the index."""
        self.members.append(member)

    def cut(self, content=None):
        """Ends the segment being written, if it holds anything; content
        is the SHA-256 of its tar bytes, for a piece of a database that the
        next run may find again."""
        if self.held:
            chunk = self._taken() if self.pending else b""
            self.batch.append((chunk, self.members, content))
            self.batched += len(chunk)
            self.held, self.members = 0, []
            if self.batched >= 1 << 20:
                self.release()

    def member_written(self, name):
        if segment_ends_after(name, self.held):
            self.cut()

    def splice(self, source, size, crc, content=None):
        """Passes on source, size bytes of tar data deflated as a segment
        ends, whose CRC-32 is crc, as it is; the worker closes it."""
        self.cut()
        self.position += size
        self._put((source, size, crc, content))

    def reuse(self, number, segment):
        """Has the client copy segment number of the previous archive."""
        self.cut()
        self.position += segment["raw"]
        self._put((number, segment))

    def _wait(self):
        done = threading.Event()
        self._put(done)
        while not done.wait(0.5):
            self._check()
        self._check()

    def segment_table(self):
        """Each segment written so far: its offset and length in the
        archive, its tar bytes and their CRC-32."""
        self.cut()
        self._wait()
        return [{"offset": o, "length": n, "raw": r, "crc": c}
                for o, n, r, c in self.segments]

    def _next(self):
        # What is gathered goes out once nothing comes for a while.
        while self.out:
            try:
                return self.chunks.get(timeout=OUTPUT_DELAY)
            except queue.Empty:
                if self.failure is None:
                    try:
                        self._drain()
                    except BaseException as error:
                        self.failure = error
                        self.out = bytearray()
        return self.chunks.get()

    def _compress(self):
        for chunk in iter(self._next, None):
            if isinstance(chunk, threading.Event):
                chunk.set()
                continue
            if self.failure is None and not self.cut_off:
                try:
                    if isinstance(chunk, bytes):
                        self._deflate(chunk)
                    elif isinstance(chunk, list):
                        for data, members, content in chunk:
                            self._deflate(data)
                            self._end_segment(members, content)
                    elif isinstance(chunk[0], int):
                        self._reused(*chunk)
                    else:
                        self._spliced(*chunk)
                except BaseException as error:
                    self.failure = error
            if isinstance(chunk, tuple) and hasattr(chunk[0], "close"):
                chunk[0].close()

    def _deflate(self, data):
        if data:
            self.segment[1] += len(data)
            self.segment[2] = zlib.crc32(data, self.segment[2])
            level = 1 if worth_deflating(data) else 0
            if level != self.level:
                # After a full flush the next blocks may use another level.
                if self.unflushed:
                    self._emit(self.deflate.flush(zlib.Z_FULL_FLUSH))
                self.level = level
                self.deflate = zlib.compressobj(level, zlib.DEFLATED, -15)
            self.unflushed = True
            self._emit(self.deflate.compress(data))

    def _emit(self, data):
        if self.framed:  # only an index needs the digests
            self.digest.update(data)
        self._send(data)

    def _close_segment(self, members, content=None):
        begin, raw, crc = self.segment
        if raw:
            self._ended(self.offset - begin, raw, crc,
                        self.digest.hexdigest(), members, content)
        self.segment = [self.offset, 0, 0]
        self.digest = hashlib.sha256()

    def _ended(self, length, raw, crc, sha256, members, content=None,
               known=False):
        begin = self.segment[0]
        self.segments.append((begin, length, raw, crc))
        self.total = [self.total[0] + raw,
                      crc32_combine(self.total[1], crc, raw)]
        if self.framed and not known:
            entry = {"offset": begin, "length": length, "raw": raw,
                     "crc": crc, "sha256": sha256, "members": members}
            if content:
                entry["content"] = content
            self._frame(zlib.compress(json.dumps(entry, separators=(
                ",", ":")).encode("ascii"), 6), b"S")

    def _end_segment(self, members=(), content=None):
        if self.unflushed:
            self._emit(self.deflate.flush(zlib.Z_FULL_FLUSH))
            self.unflushed = False
        self._close_segment(list(members), content)

    def _spliced(self, source, size, crc, content):
        self._end_segment()
        for piece in iter(lambda: source.read(1 << 20), b""):
            self._emit(piece)
        self.segment[1:] = [size, crc]
        self._close_segment([], content)

    def _reused(self, number, segment):
        self._end_segment()
        self._start()
        self._write(b"R" + struct.pack(">I", number))
        self.offset += segment["length"]
        self._ended(segment["length"], segment["raw"], segment["crc"],
                    segment["sha256"], segment["members"],
                    segment.get("content"), known=True)
        self.segment = [self.offset, 0, 0]

    def _start(self):
        if not self.started:
            # Output starts once there is content.
            self.started = True
            if self.framed:
                self._frame(zlib.compress(json.dumps(self.header).encode(
                    "ascii"), 6), b"H")
            self.offset = self.segment[0] = len(GZIP_HEADER)
            self._frame(GZIP_HEADER)

    def _send(self, data):
        self._start()
        self.offset += len(data)
        self._frame(data)

    def _frame(self, data, kind=b"D"):
        if self.framed and data:
            self._write(kind + struct.pack(">I", len(data)))
        self._write(data)

    def _write(self, data):
        # Gathered into writes of OUTPUT_BATCH bytes: each write hands the
        # interpreter lock over and must wait to get it back, and small
        # segments come with several small frames each. Never held long, so
        # that the client copies what it is told to while this run reads on.
        self.out += data
        if len(self.out) >= OUTPUT_BATCH or \
                time.monotonic() - self.drained >= OUTPUT_DELAY:
            self._drain()

    def _drain(self):
        view = memoryview(self.out)
        while view and not self.cut_off:
            view = view[os.write(self.descriptor, view):]
        view.release()
        self.out = bytearray()
        self.drained = time.monotonic()

    def finish(self):
        """Passes the rest on, waits for the worker and ends the gzip
        stream, and the frames."""
        self.cut()
        self._put(None)
        self.worker.join()
        self._check()
        self._send(DEFLATE_END + struct.pack(
            "<II", self.total[1], self.total[0] & 0xFFFFFFFF))
        if self.framed:
            self._write(b"E" + struct.pack(">I", 0))
        self._drain()

    def abandon(self):
        self.cut_off = True
        self.pending, self.batch = [], []
        try:
            self.chunks.put_nowait(None)
        except queue.Full:
            pass


# Dumps and database copies are new every run but mostly as they were, so
# they are stored in pieces, each a segment of its own whose SHA-256 the
# index keeps: a piece the client still holds is copied, not sent. A dump is
# cut after a row (a line, or a row of an extended INSERT) once a piece
# holds CHUNK_MIN bytes, where a hash of that row hits, or at CHUNK_MAX: an
# edit moves the cuts around it only, and rows that shift between INSERT
# statements find the same cuts again after them. An SQLite file changes
# in place, page by page, so its copy is cut every PAGE_CHUNK bytes.
CHUNK_MIN = 32 << 10
CHUNK_MAX = 1 << 20
CHUNK_HIT = 63
ROW_END = re.compile(rb"\n|\),\(")
PAGE_CHUNK = 64 << 10


class Chunker:
    """Cuts what is written into pieces where the content says and hands
    each to piece(bytes), the rest at close()."""

    def __init__(self, piece):
        self.piece = piece
        self.held = bytearray()
        self.begin = 0  # of the piece being gathered, in held
        self.row = 0    # where its last row began
        self.scan = 0   # how far rows were looked for

    def write(self, data):
        if self.begin and self.begin * 2 >= len(self.held):
            del self.held[:self.begin]
            self.row -= self.begin
            self.scan -= self.begin
            self.begin = 0
        self.held += data
        while self._cut():
            pass

    def _cut(self):
        held, begin = self.held, self.begin
        self.scan = max(self.scan, self.row, begin)
        while True:
            found = ROW_END.search(held, self.scan, begin + CHUNK_MAX)
            if found is None:
                break
            end = self.scan = found.end()
            row, self.row = self.row, end
            if end - begin >= CHUNK_MIN and not hashlib.md5(
                    held[row:end]).digest()[0] & CHUNK_HIT:
                return self._hand(end)
        if len(held) - begin >= CHUNK_MAX:
            return self._hand(begin + CHUNK_MAX)
        # A separator may straddle the next write.
        self.scan = max(begin, len(held) - 2)
        return False

    def _hand(self, end):
        self.piece(bytes(memoryview(self.held)[self.begin:end]))
        self.begin = self.row = self.scan = end
        return True

    def close(self):
        if len(self.held) > self.begin:
            self.piece(bytes(memoryview(self.held)[self.begin:]))
        self.held, self.begin = bytearray(), 0


class _Slice:
    """Bytes of an open file, read by the compressor's worker, which closes
    it: a descriptor of its own, so that the file may go meanwhile."""

    def __init__(self, descriptor, offset, length):
        self.descriptor = os.dup(descriptor)
        self.offset, self.left = offset, length

    def read(self, size):
        data = os.pread(self.descriptor, min(size, self.left), self.offset)
        if self.left and not data:
            raise OSError(errno.EIO, "the spooled dump ended early")
        self.offset += len(data)
        self.left -= len(data)
        return data

    def close(self):
        os.close(self.descriptor)


def store_pieces(tar, info, record, pieces, previous):
    """Writes a member whose data comes as pieces, each (SHA-256, size,
    send) where send() passes it on as a segment of its own; a piece that
    the previous index holds is copied instead."""
    output = tar.fileobj
    output.cut()
    header = info.tobuf(tar.format, tar.encoding, tar.errors)
    output.write(header)
    if record:
        output.record(record)
    # The header changes every run: a segment of its own.
    output.cut()
    for content, size, send in pieces:
        number = previous.by_content.get((content, size)) if previous \
            else None
        if number is None:
            send()
        else:
            output.reuse(number, previous.segments[number][0])
    blocks, rest = divmod(info.size, tarfile.BLOCKSIZE)
    if rest:
        output.write(tarfile.NUL * (tarfile.BLOCKSIZE - rest))
    # What follows begins a segment of its own: one that holds this padding
    # too could never be reused.
    output.cut()
    tar.offset += len(header) + (blocks + bool(rest)) * tarfile.BLOCKSIZE


def page_pieces(output, source, size, path):
    """The pieces of a database copy, for store_pieces."""
    for offset in range(0, size, PAGE_CHUNK):
        try:
            data = os.pread(source, min(PAGE_CHUNK, size - offset), offset)
        except OSError as error:
            raise unreadable(path, error)
        if len(data) != min(PAGE_CHUNK, size - offset):
            raise Failure("The copy of %s ended early" % path)
        # Only an index needs the digests.
        content = output.framed and hashlib.sha256(data).hexdigest()
        yield content, len(data), lambda data=data, content=content: (
            output.write(data), output.cut(content))
        PROGRESS.done += len(data)


# Databases of the sites: found in their configuration files or named in the
# settings, dumped one at a time into the private folder and stored under
# DUMP_FOLDER before the manifest. A database that cannot be dumped costs
# neither the files nor the other databases: the manifest names it under
# "missed_databases" with the reason, and the client marks the snapshot
# incomplete. One that a configuration names but its server does not have
# (an old copy of a site) is only a warning.
DUMP_FOLDER = "__Tesmora_Backup__/databases/"
DUMP_TOOLS = {"mysql": ("mariadb-dump", "mysqldump"),
              "postgresql": ("pg_dump",)}
CLOSING = {"mysql": "-- Dump completed", "postgresql":
           "-- PostgreSQL database dump complete"}
SERVER_VERSION = re.compile(
    rb"^-- (?:Server version|Dumped from database version)\s+(\S+)", re.M)
WARN_GRANTS = "Routines and events left out, no permission for them: "
# The source of a database named in the settings rather than found.
SETTINGS_ENTRY = "the entry "
WARN_NO_DATABASE = ("The database does not exist on its server, so it is "
                    "not in the copy: ")
# What mariadb-dump/mysqldump and pg_dump say of a database that is not there.
NO_SUCH_DATABASE = re.compile(r"Unknown database|database \".*\" does not "
                              r"exist")
SPOOL_MARGIN = 64 << 20


def explicit(entries):
    """Databases named in the settings: "mysql:NAME", "postgresql:NAME"."""
    found = []
    for entry in entries:
        engine, _, name = entry.partition(":")
        if engine not in ENGINE_NAMES or not name:
            raise Failure("Not a database entry: %r" % entry)
        found.append(Database(engine, name, SETTINGS_ENTRY + entry))
    return found


def find_databases(request, configs, warnings, roots):
    """Each database once: the settings' entries, then those that the
    configuration files name and this server can reach."""
    found = explicit(request["databases"])
    if request["detect"]:
        found += find_site_databases(configs, warnings)
    unique = collections.OrderedDict()
    for database in found:
        unique.setdefault(database.key(), database)
    found = list(unique.values())
    return database_hints(found, roots, warnings) if request["detect"] \
        else found


def private_file(workdir, name, text):
    path = os.path.join(workdir, name)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "w", encoding="utf-8",
                   errors="surrogateescape") as out:
        out.write(text)
    return path


def option_value(text):
    return '"%s"' % "".join({"\\": "\\\\", '"': '\\"', "\n": "\\n",
                             "\t": "\\t", "\r": "\\r"}.get(c, c) for c in text)


def conninfo_value(text):
    return "'%s'" % text.replace("\\", "\\\\").replace("'", "\\'")


def dump_command(database, tool, workdir, events=True):
    """The dump tool's arguments and environment; the password only ever in
    a 0600 file in workdir, which the caller removes."""
    environment = dict(os.environ)
    if database.engine == "mysql":
        arguments = [tool]
        if database.user is not None:
            # Only this file: a ~/.my.cnf must not replace the site's login.
            lines = ["[client]", "user=" + option_value(database.user),
                     "password=" + option_value(database.password or "")]
            lines += ["%s=%s" % (key, option_value(value)) for key, value in (
                ("host", database.host), ("port", database.port),
                ("socket", database.socket)) if value]
            arguments.append("--defaults-file=" + private_file(
                workdir, "client.cnf", "\n".join(lines) + "\n"))
        elif database.host or database.port or database.socket:
            arguments += ["--host=" + (database.host or "localhost")] + [
                "--%s=%s" % (key, value) for key, value in (
                    ("port", database.port), ("socket", database.socket))
                if value]
        arguments += ["--single-transaction", "--quick", "--hex-blob",
                      "--default-character-set=utf8mb4", "--no-tablespaces",
                      "--triggers"]
        arguments += ["--routines", "--events"] if events else []
        return arguments + ["--", database.name], environment
    conninfo = [("dbname", database.name), ("host", database.socket or
                 database.host), ("port", database.port),
                ("user", database.user)]
    if database.user is not None:
        environment.pop("PGPASSWORD", None)
        environment["PGPASSFILE"] = private_file(
            workdir, "pgpass", "*:*:*:*:%s\n" % (database.password or "")
            .replace("\\", "\\\\").replace(":", "\\:"))
    return [tool, "--no-password", "--format=plain", "--no-owner",
            "--encoding=UTF8", "--dbname=" + " ".join(
                "%s=%s" % (key, conninfo_value(value))
                for key, value in conninfo if value)], environment


def dump_tool(database):
    for name in DUMP_TOOLS[database.engine]:
        found = shutil.which(name)
        if found:
            return found
    raise Failure("Cannot dump the %s: no %s on the server" % (
        database.named(), " or ".join(DUMP_TOOLS[database.engine])))


def spool(database, tool, workdir, target, events):
    """Runs the dump into target; (exit status, error text, head, last
    line, bytes, SHA-256, pieces)."""
    errors, process = [], None
    try:
        arguments, environment = dump_command(database, tool, workdir, events)
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=environment)
        return collect(database, process, workdir, target, errors)
    finally:
        if process and process.poll() is None:
            process.kill()
            process.wait()
        # The tool reads its password file when it connects, so the file
        # stays until the tool has ended.
        for name in ("client.cnf", "pgpass"):
            remove_copy(os.path.join(workdir, name))


def collect(database, process, workdir, target, errors):
    """Reads the dump as it comes while a thread of its own cuts it into
    pieces and deflates each into target as an archive segment, as a pipe
    into gzip -1 would, and the tool runs ahead into a larger pipe: the
    archive takes those segments as they are. The pieces are (offset and
    length in target, bytes, CRC-32, SHA-256)."""
    reader = threading.Thread(target=lambda: errors.append(
        process.stderr.read()))
    reader.daemon = True
    reader.start()
    try:
        fcntl.fcntl(process.stdout.fileno(), 1031, 1 << 20)  # F_SETPIPE_SZ
    except OSError:
        pass
    digest, size, head, tail = hashlib.sha256(), 0, b"", b""
    pieces, failed, spooled = queue.Queue(8), [], []

    def compress():
        try:
            with open(target, "wb") as out:
                def deflate(piece):
                    packer = zlib.compressobj(1, zlib.DEFLATED, -15)
                    data = packer.compress(piece) + packer.flush(
                        zlib.Z_FULL_FLUSH)
                    spooled.append((out.tell(), len(data), len(piece),
                                    zlib.crc32(piece),
                                    hashlib.sha256(piece).hexdigest()))
                    out.write(data)
                chunker = Chunker(deflate)
                for piece in iter(pieces.get, None):
                    chunker.write(piece)
                chunker.close()
        except OSError as error:
            failed.append(error)
            for _ in iter(pieces.get, None):  # the reader must never block
                pass
    writer = threading.Thread(target=compress)
    writer.daemon = True
    writer.start()
    try:
        try:
            for piece in iter(lambda: process.stdout.read(1 << 20), b""):
                if size >> 26 != (size + len(piece)) >> 26:
                    free = os.statvfs(workdir)
                    if free.f_bavail * free.f_frsize < SPOOL_MARGIN:
                        raise OSError(errno.ENOSPC, "free space ran low")
                if failed:
                    raise failed[0]
                pieces.put(piece)
                digest.update(piece)
                size += len(piece)
                head = head or piece[:4096]
                tail = (tail + piece)[-4096:]
                with PROGRESS.lock:
                    PROGRESS.total += len(piece)
                    PROGRESS.done += len(piece)
        finally:
            pieces.put(None)
            writer.join()
        if failed:
            raise failed[0]
        status = process.wait()
    except OSError as error:
        if error.errno == errno.ENOSPC:
            raise Failure("Not enough free space in %s for the dump of the %s"
                          % (os.path.dirname(workdir), database.named()))
        raise
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        reader.join()
    text = b"".join(errors).decode("utf-8", "replace").strip()
    # The comment line that ends the dump, as the client reads it too:
    # pg_dump follows it with a bare "--" and sometimes a meta-command.
    closing = b""
    for line in reversed([l.rstrip(b"\r") for l in tail.split(b"\n")]):
        if line.startswith(b"-- "):
            closing = line
        if line and line != b"--" and not line.startswith(b"\\"):
            break
    return (status, text, head, closing.decode("utf-8", "replace"), size,
            digest.hexdigest(), spooled)


def dump_database(database, workdir, target, manifest):
    """Spools one dump into target and returns its manifest entry and its
    pieces."""
    tool = dump_tool(database)
    free = os.statvfs(workdir)
    if free.f_bavail * free.f_frsize < SPOOL_MARGIN:
        raise Failure("Not enough free space in %s for the dump of the %s"
                      % (os.path.dirname(workdir), database.named()))
    with PROGRESS.lock:
        PROGRESS.phase = "database"
    events = database.engine == "mysql"
    status, errors, head, closing, size, sha, pieces = spool(
        database, tool, workdir, target, events)
    if status and events and re.search(r"(?i)denied.*(event|routine|proc)|"
                                       r"(event|routine|proc).*denied",
                                       errors):
        manifest["warnings"].append(WARN_GRANTS + database.named())
        status, errors, head, closing, size, sha, pieces = spool(
            database, tool, workdir, target, False)
    with PROGRESS.lock:
        PROGRESS.phase = "archive"
    if status:
        raise Failure("Cannot dump the %s: %s exited with %d: %s" % (
            database.named(), os.path.basename(tool), status,
            errors.splitlines()[-1] if errors else "no message"))
    if not closing.startswith(CLOSING[database.engine]):
        raise Failure("The dump of the %s ended without its closing line"
                      % database.named())
    version = SERVER_VERSION.search(head)
    return {"engine": database.engine, "database": database.name,
            "found_in": database.source,
            "server_version": version.group(1).decode("utf-8", "replace")
            if version else "", "bytes": size, "sha256": sha,
            "exit_status": status, "closing_line": closing}, pieces


def member_name(database, taken):
    base = "%s%s-%s" % (DUMP_FOLDER, database.engine,
                        re.sub(r"[/\\\x00-\x1f]", "_", database.name))
    name, number = base + ".sql", 1
    while name in taken:
        number += 1
        name = "%s-%d.sql" % (base, number)
    taken.add(name)
    return name


def store_dumps(tar, databases, workdir, manifest, previous):
    taken = set()
    for database in databases:
        target = os.path.join(workdir, "dump.sql")
        try:
            entry, pieces = dump_database(database, workdir, target, manifest)
        except Failure as error:
            remove_copy(target)
            if database.source.startswith(SETTINGS_ENTRY) or not \
                    NO_SUCH_DATABASE.search(str(error)):
                manifest["missed_databases"].append({
                    "engine": database.engine, "database": database.name,
                    "found_in": database.source, "reason": str(error)})
            else:
                manifest["warnings"].append(WARN_NO_DATABASE +
                                            database.named())
            continue
        try:
            entry["member"] = member_name(database, taken)
            info = tarfile.TarInfo(entry["member"])
            info.size, info.mode, info.mtime = entry["bytes"], 0o600, int(
                time.time())
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            with open(target, "rb") as spooled:
                store_pieces(tar, info, None, (
                    (content, raw, lambda offset=offset, length=length,
                     raw=raw, crc=crc, content=content: tar.fileobj.splice(
                        _Slice(spooled.fileno(), offset, length), raw, crc,
                        content))
                    for offset, length, raw, crc, content in pieces),
                    previous)
            manifest["dumps"].append(entry)
        finally:
            remove_copy(target)


# A member whose inode changed this close to the start of the scan that
# recorded it may have changed again within the same timestamps: it is sent
# afresh rather than trusted.
RACY_NS = 3 * 10 ** 9
# Once a week every file is read and sent again, whatever its values say: an
# edit that kept size, mtime and ctime (a clock set back, a tool that puts
# ctime back) lasts a week at most. Weekly rather than every N runs, so that
# the bound holds at every interval the settings allow.
FULL_EVERY_NS = 7 * 24 * 3600 * 10 ** 9


def member_record(name, kind, status, target=""):
    """What a member was when written, by which the next run tells whether
    it changed: its name as bytes (one character each), kind (f file, d
    folder, l link, h hard link to target, s SQLite copy, x a file that
    changed while read; only f, d, l and h are ever reused), size, mtime and
    ctime in nanoseconds, inode, device, mode, owner, group, link target."""
    return [os.fsencode(name).decode("latin-1"), kind, status.st_size,
            status.st_mtime_ns, status.st_ctime_ns, status.st_ino,
            status.st_dev, status.st_mode, status.st_uid, status.st_gid,
            os.fsencode(target).decode("latin-1")]


class Previous:
    """What the client sent to build on: the previous snapshot's index and,
    under "resumed", that of a run cut off since, whose segments are
    numbered after the snapshot's. Each part's segments count only within a
    week of the full run they go back to, and only those the client could
    prove are offered, by the name of their first member, the newest
    part's first. A piece of a database is offered by its SHA-256 and size
    from any part: its content was read in full this run."""

    def __init__(self, index, now_ns):
        self.segments = []  # by number: the segment and its racy bound
        self.by_first = {}
        self.by_content = {}
        fulls = []
        resumed = index.get("resumed")
        for part in (index, resumed if isinstance(resumed, dict) else {}):
            racy_from = int(part.get("started_ns") or 0) - RACY_NS
            full_ns = int(part.get("full_ns") or 0)
            usable = 0 <= now_ns - full_ns < FULL_EVERY_NS
            if usable and part.get("segments"):
                fulls.append(full_ns)
            for segment in part.get("segments") or []:
                number = len(self.segments)
                self.segments.append((segment, racy_from))
                if segment.get("content") and not segment.get("members"):
                    self.by_content[(segment["content"], segment["raw"])] = \
                        number
                members = segment.get("members") or []
                if usable and members and all(m[1] in "fdlh"
                                              for m in members):
                    self.by_first.setdefault(members[0][0], []).insert(
                        0, number)
        # Every segment this run takes was read in full since this.
        self.full_ns = min(fulls) if fulls else now_ns

    def unchanged(self, number, found, links):
        """Whether segment number describes the paths that come next, the
        (root, path) pairs found, as they are now."""
        segment, racy_from = self.segments[number]
        members = segment["members"]
        if len(found) < len(members):
            return False
        seen = {}
        for member, (root, path) in zip(members, found):
            name, kind, values, target = member[0], member[1], member[2:10], \
                member[10]
            if os.fsencode(path.lstrip("/")).decode("latin-1") != name or \
                    member[4] >= racy_from:
                return False
            try:
                status = os.stat(path) if path == root else os.lstat(path)
                if kind == "l" and os.fsencode(os.readlink(path)).decode(
                        "latin-1") != target:
                    return False
            except OSError:
                return False
            now = [status.st_size, status.st_mtime_ns, status.st_ctime_ns,
                   status.st_ino, status.st_dev, status.st_mode,
                   status.st_uid, status.st_gid]
            if now != values:
                return False
            # Hard links come out as this run would write them.
            key = (status.st_dev, status.st_ino)
            signature = tuple(now[:3])
            first = seen.get(key) or links.get(key)
            if kind == "h":
                if not first or first[1] != signature or \
                        os.fsencode(first[0]).decode("latin-1") != target:
                    return False
            elif kind == "f" and status.st_nlink > 1:
                if first and first[1] == signature:
                    return False
                seen[key] = (os.fsdecode(name.encode("latin-1")), signature)
        links.update(seen)
        return True


def write_archive(roots, workdir, manifest, descriptor, databases=(),
                  previous=None, counted=lambda: None):
    sidecars = set()
    links = {}
    started_ns = time.time_ns()
    previous = Previous(previous, started_ns) if previous is not None \
        else None
    output = _Compressor(descriptor, previous and {
        "format": 1, "started_ns": started_ns, "full_ns": previous.full_ns})
    # Written straight through rather than in 10 KiB records: the bytes are
    # the same, the copies fewer.
    tar = tarfile.open(fileobj=output, mode="w", format=tarfile.PAX_FORMAT,
                       dereference=False)
    tar.copybufsize = 1 << 20
    tar.tarinfo = _Member
    tar.members = _Forgotten()
    tar.inodes = _NoLinks()
    try:
        # First: the dumps are the closest to one moment when the files that
        # go with them follow.
        store_dumps(tar, databases, workdir, manifest, previous)
        found = dict.fromkeys(roots, 0)
        walk, ahead = files(roots), collections.deque()

        def upcoming(count):
            # The next count paths that would be stored, left to come.
            kept = [p for p in ahead if p[1] not in sidecars]
            while len(kept) < count:
                try:
                    ahead.append(next(walk))
                except StopIteration:
                    break
                if ahead[-1][1] not in sidecars:
                    kept.append(ahead[-1])
            return kept[:count]

        def reuse(previous, root, path):
            # Whether a segment of what was sent holds path and those that
            # follow as they are now: if so it is copied, not read again.
            for number in previous.by_first.get(
                    os.fsencode(path.lstrip("/")).decode("latin-1"), ()):
                segment = previous.segments[number][0]
                pairs = [(root, path)] + upcoming(len(segment["members"]) - 1)
                if not previous.unchanged(number, pairs, links):
                    continue
                for _ in pairs[1:]:
                    while ahead.popleft()[1] in sidecars:
                        pass
                output.reuse(number, segment)
                for member, (root, _) in zip(segment["members"], pairs):
                    if member[1] == "f":
                        manifest["files"] += 1
                        manifest["logical_bytes"] += member[2]
                        PROGRESS.done += member[2]
                        found[root] += 1
                return True
            return False

        while upcoming(1):
            root, path = ahead.popleft()
            if path in sidecars:
                continue
            if previous and reuse(previous, root, path):
                continue
            if store(tar, path, path == root, workdir, manifest, sidecars,
                     links, previous):
                found[root] += 1
            output.member_written(path)
        counted()
        manifest["warnings"].extend(
            WARN_EMPTY + root for root in roots if not found[root])
        manifest["finished_utc"] = time.time()
        # The last segment, this manifest's own, follows the ones listed.
        manifest["segments"] = output.segment_table()
        # Names that are not UTF-8 reach the text as lone surrogates and are
        # written as JSON \u escapes, so the manifest stays UTF-8.
        data = json.dumps(manifest, ensure_ascii=False, indent=2).encode(
            "utf-8", "backslashreplace")
        info = tarfile.TarInfo(MANIFEST_NAME)
        info.size = len(data)
        info.mode = 0o600
        info.mtime = int(time.time())
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        tar.addfile(info, io.BytesIO(data))
        tar.close()
        output.finish()
    except BaseException:
        # Shut the writers down now, into nothing, rather than leave them to
        # end the stream when they are collected.
        output.abandon()
        try:
            tar.close()
        except Exception:
            pass
        raise


def make_workdir():
    """A private folder for database copies: TMPDIR if set, else one on
    disk rather than in memory."""
    folders = list(TEMPORARY_FOLDERS)
    if os.environ.get("TMPDIR"):
        folders.insert(0, os.environ["TMPDIR"])
    for folder in folders:
        try:
            return tempfile.mkdtemp(prefix="tesmora-sqlite-backup-",
                                    dir=folder)
        except OSError as error:
            failure = Failure("Cannot create a temporary folder in %s: %s"
                              % (folder, error.strerror or error))
    raise failure


REQUEST_LIMIT = 64 << 20
INFLATED_REQUEST_LIMIT = 1 << 30


def read_request():
    """The request frame on standard input: its decimal length, a line
    feed, then that many bytes of JSON, or of JSON zlib-compressed."""
    incoming = globals().get("IN")
    if incoming is None:
        raise Failure("The request is missing: start this program through "
                      "the client's loader")
    line = incoming.readline(32)
    try:
        size = int(line)
    except ValueError:
        size = -1
    if not 0 <= size <= REQUEST_LIMIT:
        raise Failure("The request does not parse: it begins with %r" % line)
    data = incoming.read(size)
    if len(data) != size:
        raise Failure("The request arrived cut short: %d of %d bytes"
                      % (len(data), size))
    if data[:1] not in (b"{", b"["):
        inflate = zlib.decompressobj()
        try:
            data = inflate.decompress(data, INFLATED_REQUEST_LIMIT)
        except zlib.error:
            raise Failure("The request does not parse: it does not inflate")
        if inflate.unconsumed_tail or not inflate.eof:
            raise Failure("The request does not parse: it inflates past "
                          "%d bytes or ends early" % INFLATED_REQUEST_LIMIT)
    return json.loads(data.decode("utf-8"))


def main():
    # The compressing thread needs the interpreter lock back after each
    # deflate call, and by default waits up to 5 ms for this thread to yield
    # it: over thousands of segments that is seconds.
    sys.setswitchinterval(0.0002)
    # Only UTF-8 mode reads names right whatever the server's locale.
    if codecs.lookup(sys.getfilesystemencoding()).name != "utf-8":
        raise Failure("python3 on the server reads names as %s; run it with "
                      "-X utf8" % sys.getfilesystemencoding())
    request = read_request()
    if not isinstance(request, dict):
        request = {"paths": request}
    request = {"paths": request.get("paths"), "detect": request.get(
        "detect", True) is not False, "databases": request.get(
        "databases") or [], "mode": request.get("mode", "backup"),
        "previous": request.get("previous")}
    if request["previous"] is not None and not isinstance(
            request["previous"], dict):
        raise Failure("The request's previous index is not an object")
    roots = effective_roots(request["paths"])
    missing = [root for root in roots if not os.path.exists(root)]
    if missing:
        raise Failure("A selected source does not exist: " + str(missing))
    if request["mode"] == "probe":
        # What a backup needs before it reads a file: this program parsed and
        # ran, in UTF-8 mode, and the sources are there.
        answer = {"probe": "ok", "python": "%d.%d.%d" % sys.version_info[:3]}
        os.write(1, json.dumps(answer).encode("ascii"))
        return
    lower_priority()
    manifest = {"format": 1, "started_utc": time.time(), "sources": roots,
                "source_links": [
                    {"path": root, "target": os.readlink(root)}
                    for root in roots if os.path.islink(root)],
                "sqlite": [], "dumps": [], "missed_databases": [],
                "warnings": [], "files": 0,
                "logical_bytes": 0, "consistency": CONSISTENCY}
    PROGRESS.start()
    uname = os.uname()
    manifest["system"] = {"uname": uname.sysname + " " + uname.release}
    _hold(True)
    workdir = make_workdir()
    try:
        _hold(False)
        counting = SizeCount(roots, manifest) \
            if request["mode"] != "detect" else None
        configs = discover(roots)
        databases = find_databases(request, configs, manifest["warnings"],
                                   roots)
        if request["mode"] == "detect":
            listing = {"databases": [
                {"engine": d.engine, "database": d.name, "found_in": d.source}
                for d in databases], "warnings": manifest["warnings"]}
            os.write(1, json.dumps(listing, ensure_ascii=False).encode(
                "utf-8", "backslashreplace"))
            return
        with PROGRESS.lock:
            PROGRESS.phase, PROGRESS.done = "archive", 0
        write_archive(roots, workdir, manifest, sys.stdout.fileno(),
                      databases, request["previous"], counting.join)
    finally:
        _hold(True)
        shutil.rmtree(workdir, ignore_errors=True)
        _hold(False)


def _say(text):
    # One line, which a control character in a path could neither break nor
    # make look like a progress line.
    text = "".join(c if c >= " " else "\\x%02x" % ord(c) for c in text)
    try:
        os.write(2, (text + "\n").encode("utf-8", "backslashreplace"))
    except OSError:
        pass


try:
    main()
except BaseException as error:
    # No progress line may land in the error text that follows.
    PROGRESS.stop()
    # After a failure nothing more may reach the client: buffered bytes and
    # end blocks written at collection would make a broken archive look
    # whole, and a closed pipe cannot fail the final flush either.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
    except Exception:
        pass
    if _signals["received"] is not None:
        _say("Backup interrupted by signal %d" % _signals["received"])
        raise SystemExit(128 + _signals["received"])
    if isinstance(error, Failure):
        _say(str(error))
        raise SystemExit(1)
    raise
PROGRESS.stop()
