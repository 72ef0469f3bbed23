# Tesmora site backup: runs once on the server. The client starts it as
# python3 -c "import json,zlib;_p=...;exec(_p[1])", which unpacks the JSON
# list of sources into ROOTS and runs this text.
# Writes a gzip PAX tar of ROOTS to standard output. Standard error carries
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

import errno
import gzip
import io
import json
import os
import pathlib
import queue
import shutil
import signal
import sqlite3
import stat
import subprocess
import tarfile
import tempfile
import threading
import time
import types

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
CONSISTENCY = ("SQLite uses online backup; other files are a live filesystem "
               "copy, not a coordinated VM snapshot.")
SERVICE_COMMAND = ["systemctl", "show", "parvolt-api.service",
                   "parvolt-scanner.service",
                   "--property=WorkingDirectory,ExecStart", "--no-pager"]
SQLITE_HEADER = b"SQLite format 3\x00"
SIDECARS = ("-wal", "-shm", "-journal")
SNAPSHOT_LIMIT = 180.0
# /tmp is often kept in memory, and a database copy can be large.
TEMPORARY_FOLDERS = ("/var/tmp", "/tmp")
GONE = (FileNotFoundError, NotADirectoryError)
WARN_DISCOVERY = "Disappeared during SQLite discovery: "
WARN_COPY = "Disappeared during live copy: "
WARN_SPECIAL = "Special device/socket/FIFO omitted: "
NOFOLLOW = os.O_RDONLY
for _name in ("O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"):
    NOFOLLOW |= getattr(os, _name, 0)


class Failure(Exception):
    """A failure the user can act on: its message alone is reported, as
    one line."""


def unreadable(path, error):
    return Failure("Cannot read %s: %s" % (path, error.strerror or error))


class Progress:
    """Reports the phase and the bytes read so far against the planned total
    on standard error, at most once a second, from a thread of its own: a
    database copied in one step or a long listing gives no callbacks, and the
    client gives up on a server that stays silent for long. Each line starts
    with 0x1E, which the error text never holds, and goes out in one
    write."""

    def __init__(self):
        self.phase = "discovery"
        self.done = 0
        self.total = 0
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
                line = "\x1eprogress %s %d %d\n" % (
                    self.phase, self.done, self.total)
                try:
                    os.write(2, line.encode("ascii"))
                except OSError:
                    return
            if self.stopped.wait(1.0):
                return

    def stop(self):
        """Returns once no progress line can be written any more."""
        self.stopped.set()
        with self.lock:  # waits for a line being written
            pass


PROGRESS = Progress()


def effective_roots(entries):
    """Normalised roots without duplicates and nested paths, shallowest
    first, then by text."""
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
        if not any(root.startswith(parent + "/") for parent in kept):
            kept.append(root)
    return kept


def _listing_failed(error):
    # A vanished directory is reported by the pass that meets it; any other
    # listing error would silently lose its contents.
    if not isinstance(error, GONE):
        raise Failure("Cannot read folder %s: %s" % (
            error.filename, error.strerror or error))


def files(roots):
    """Each root, then per directory its sorted subdirectories and sorted
    other entries, depth first. Symbolic links are never followed."""
    for root in roots:
        yield root
        if not os.path.isdir(root) or os.path.islink(root):
            continue
        for top, subdirs, others in os.walk(root, onerror=_listing_failed):
            subdirs.sort()
            others.sort()
            for name in subdirs + others:
                yield os.path.join(top, name)


def open_regular(path):
    """A descriptor of the regular file at path and its status, opened
    without following a link or waiting on a FIFO; None when it is no longer
    a regular file."""
    try:
        descriptor = os.open(path, NOFOLLOW)
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


def discover(roots, manifest):
    """The total size of the regular files, for the progress report."""
    total = 0
    for path in files(roots):
        try:
            status = os.lstat(path)
        except GONE:
            manifest["warnings"].append(WARN_DISCOVERY + path)
            continue
        except OSError as error:
            raise unreadable(path, error)
        if stat.S_ISREG(status.st_mode):
            total += status.st_size
    return total


def remove_copy(target):
    for name in (target,) + tuple(target + suffix for suffix in SIDECARS):
        try:
            os.unlink(name)
        except FileNotFoundError:
            pass


def backup_once(path, options, steps, workdir):
    """Copies the database through SQLite's backup API into a new file in
    workdir and checks the copy; returns the copy's path."""
    descriptor, target = tempfile.mkstemp(suffix=".sqlite3", dir=workdir)
    os.close(descriptor)
    began = time.monotonic()

    def progress(status, remaining, total):
        if time.monotonic() - began > SNAPSHOT_LIMIT:
            raise Failure("SQLite snapshot timed out: " + path)

    try:
        uri = pathlib.Path(path).as_uri() + "?" + options
        source = sqlite3.connect(uri, uri=True, timeout=15)
        try:
            copy = sqlite3.connect(target)
            try:
                # The copy lives only until it is archived.
                copy.execute("PRAGMA synchronous=OFF")
                source.backup(copy, pages=steps, sleep=0.02,
                              progress=progress if steps > 0 else None)
                row = copy.execute("PRAGMA quick_check").fetchone()
            finally:
                copy.close()
        finally:
            source.close()
        result = row[0] if row else None
        if result != "ok":
            raise Failure("SQLite quick_check: " + path + ": " + str(result))
        return target
    except BaseException:
        remove_copy(target)
        raise


def unchanging(path):
    """What a writer changes: the file's identity, size, times and change
    counter, and whether a -wal file exists."""
    try:
        descriptor = os.open(path, NOFOLLOW)
        try:
            status = os.fstat(descriptor)
            counter = os.pread(descriptor, 4, 24)
        finally:
            os.close(descriptor)
    except OSError as error:
        raise unreadable(path, error)
    return (status.st_ino, status.st_size, status.st_mtime_ns,
            status.st_ctime_ns, counter, os.path.lexists(path + "-wal"))


def snapshot(path, wal, workdir):
    """A consistent copy of the database at path in workdir.

    A WAL database is copied in one step, which holds one read transaction
    and does not block writers; copied in steps, it would start over after
    every write between two of them. Rollback-journal databases are copied in
    steps so that writers get turns, within a time limit."""
    try:
        for _ in range(2):
            try:
                return backup_once(path, "mode=ro", -1 if wal else 512,
                                   workdir)
            except sqlite3.OperationalError:
                # A reader of a WAL database needs the -shm index, which it
                # cannot create in a folder it may not write while no
                # connection is open.
                if not wal or os.access(os.path.dirname(path), os.W_OK):
                    raise
            # With no -wal file the database file holds every commit, so it
            # can be read without locks, as long as nothing writes to it
            # meanwhile; otherwise try once more.
            before = unchanging(path)
            if before[-1]:
                continue
            try:
                target = backup_once(path, "mode=ro&immutable=1", -1,
                                     workdir)
            except (sqlite3.Error, Failure):
                # A write meanwhile can make the copy unreadable.
                if unchanging(path) == before:
                    raise
                continue
            if unchanging(path) == before:
                return target
            remove_copy(target)
    except sqlite3.Error as error:
        raise Failure("Cannot copy SQLite database %s: %s" % (path, error))
    raise Failure(
        "SQLite database %s changed while it was copied without locks; give "
        "the SSH user write access to the database's folder, or back up at a "
        "quiet time" % path)


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
    """A file as the tar writer reads it: counts the bytes for the progress
    report and names the file in a read error."""

    def __init__(self, handle, path):
        self.handle = handle
        self.path = path
        self.position = 0

    def read(self, size):
        try:
            data = self.handle.read(size)
        except OSError as error:
            raise unreadable(self.path, error)
        self.position += len(data)
        PROGRESS.done += len(data)
        return data


def store(tar, path, workdir, manifest, sidecars):
    """Adds one path to the archive, or records why it was left out."""
    try:
        mode = os.lstat(path).st_mode
        if stat.S_ISREG(mode):
            opened = open_regular(path)
            if opened is None:  # replaced since it was listed
                manifest["warnings"].append(WARN_COPY + path)
                return
            descriptor, status = opened
            handle = os.fdopen(descriptor, "rb")
        elif stat.S_ISDIR(mode) or stat.S_ISLNK(mode):
            handle = None
        else:
            manifest["warnings"].append(WARN_SPECIAL + path)
            return
        registered = len(tar.inodes)
        # A file's header comes from the open file, so that header and data
        # describe the same file even if the path is replaced meanwhile.
        info = tar.gettarinfo(path, path.lstrip("/"), handle)
    except GONE:
        manifest["warnings"].append(WARN_COPY + path)
        return
    except OSError as error:
        raise unreadable(path, error)
    if handle is None and not (info and (info.isdir() or info.issym())):
        # Changed type between the two looks; forget a hard-link target
        # that would point at a member never written.
        if len(tar.inodes) > registered:
            tar.inodes.popitem()
        manifest["warnings"].append(WARN_COPY + path)
        return
    if handle is None or info.islnk():
        if handle is not None:
            handle.close()
        tar.addfile(info)
        return
    if status.st_nlink < 2:
        # Only a file with other names can be met again: keeping every file
        # in the hard-link table would grow memory with the file count.
        tar.inodes.pop((status.st_ino, status.st_dev), None)
    with handle:
        try:
            header = os.pread(descriptor, 100, 0)
        except OSError as error:
            raise unreadable(path, error)
        copy = None
        source = handle
        if header[:16] == SQLITE_HEADER:
            # One copy at a time, made just before it is archived, so that
            # the temporary space needed is that of the largest database.
            PROGRESS.phase = "database"
            copy = waiting(snapshot, path, header[18:19] == b"\x02",
                           workdir)
            PROGRESS.phase = "archive"
        try:
            if copy is not None:
                source = open(copy, "rb")
                info.size = os.fstat(source.fileno()).st_size
                manifest["sqlite"].append(
                    {"path": path, "quick_check": "ok", "bytes": info.size})
                sidecars.update(path + suffix for suffix in SIDECARS)
            with source:
                reader = Reader(source, path)
                try:
                    tar.addfile(info, reader)
                except OSError as error:
                    # tarfile reports a short read as an OSError without
                    # errno.
                    if error.errno is None and reader.position < info.size:
                        raise Failure("File shrank while being copied: "
                                      + path) from error
                    raise
        finally:
            if copy is not None:
                remove_copy(copy)
    manifest["files"] += 1
    manifest["logical_bytes"] += info.size


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


class _Compressor:
    """Takes the tar stream; a second thread compresses it and writes it to
    the descriptor. zlib and the write run without the interpreter lock, so
    they overlap with reading files. At most a few 1 MiB chunks are in
    flight. After a failure the stream is cut off and whatever the writers
    still emit is dropped, so a broken archive never ends like a whole one."""

    def __init__(self, descriptor):
        self.descriptor = descriptor
        self.cut = False
        self.failure = None
        self.pending = []
        self.size = 0
        self.position = 0
        self.packer = None
        self.chunks = queue.Queue(4)
        self.worker = threading.Thread(target=self._compress)
        self.worker.daemon = True
        self.worker.start()

    def write(self, data):
        if not self.cut:
            self._check()
            self.position += len(data)
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

    def _hand_over(self):
        chunk = self.pending[0] if len(self.pending) == 1 else b"".join(
            self.pending)
        self.pending, self.size = [], 0
        self.chunks.put(chunk)

    def _packer(self):
        # Made with the first chunk: output starts once there is content.
        if self.packer is None:
            sink = types.SimpleNamespace(write=self._send, flush=self.flush)
            self.packer = gzip.GzipFile(filename="", mode="wb",
                                        compresslevel=1, fileobj=sink)
        return self.packer

    def _compress(self):
        for chunk in iter(self.chunks.get, None):
            if self.failure is None and not self.cut:
                try:
                    self._packer().write(chunk)
                except BaseException as error:
                    self.failure = error

    def _send(self, data):
        view = memoryview(data)
        while view and not self.cut:
            view = view[os.write(self.descriptor, view):]
        return len(data)

    def finish(self):
        """Passes the rest on, waits for the worker, ends the gzip stream."""
        self._hand_over()
        self.chunks.put(None)
        self.worker.join()
        self._check()
        self._packer().close()

    def abandon(self):
        self.cut = True
        self.pending = []
        try:
            self.chunks.put_nowait(None)
        except queue.Full:
            pass


def write_archive(roots, workdir, manifest, descriptor):
    sidecars = set()
    output = _Compressor(descriptor)
    # Written straight through rather than in 10 KiB records: the bytes are
    # the same, the copies fewer.
    tar = tarfile.open(fileobj=output, mode="w", format=tarfile.PAX_FORMAT,
                       dereference=False)
    tar.copybufsize = 1 << 20
    tar.members = _Forgotten()
    try:
        for path in files(roots):
            if path not in sidecars:
                store(tar, path, workdir, manifest, sidecars)
        manifest["finished_utc"] = time.time()
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


def describe_system(manifest):
    try:
        uname = os.uname()
        manifest["system"] = {"uname": uname.sysname + " " + uname.release}
        result = subprocess.run(
            SERVICE_COMMAND, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True, timeout=10)
        manifest["service_definitions"] = result.stdout
    except Exception:
        pass


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


def main():
    roots = effective_roots(globals().get("ROOTS"))
    missing = [root for root in roots if not os.path.exists(root)]
    if missing:
        raise Failure("A selected source does not exist: " + str(missing))
    try:
        os.nice(10)
    except (AttributeError, OSError):
        pass
    manifest = {"format": 1, "started_utc": time.time(), "sources": roots,
                "sqlite": [], "warnings": [], "files": 0,
                "logical_bytes": 0, "consistency": CONSISTENCY}
    PROGRESS.start()
    describe_system(manifest)
    _hold(True)
    workdir = make_workdir()
    try:
        _hold(False)
        PROGRESS.total = discover(roots, manifest)
        PROGRESS.phase = "archive"
        write_archive(roots, workdir, manifest, sys.stdout.fileno())
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
