# Tesmora site backup: runs once on the server and writes a gzip-compressed
# PAX tar archive of the selected paths to standard output.
#
# Launched by the client as
#   python3 -c "exec(bytes.fromhex('...'))"
# where the hexadecimal text carries a first line defining ROOTS followed by
# this file. Standard input is not read. Standard output carries archive
# bytes only; diagnostics go to standard error. Exit status: 0 for a complete
# archive, 1 for any failure, 128 + signal number after SIGHUP or SIGTERM.
#
# Needs python3 (3.7 or later) with its standard library only.
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
import sys
import tarfile
import tempfile
import threading
import time

# The first SIGHUP or SIGTERM ends the run with 128 + its number. While the
# temporary directory is being created or removed the exit is held back, so
# that it cannot interrupt the removal; later signals are ignored.
_signals = {"received": None, "held": False}


def interrupted(signum, frame):
    if _signals["received"] is not None:
        return
    _signals["received"] = signum
    if not _signals["held"]:
        raise SystemExit(128 + signum)


def _hold_signals():
    _signals["held"] = True


def _release_signals():
    _signals["held"] = False
    if _signals["received"] is not None:
        raise SystemExit(128 + _signals["received"])


for _name in ("SIGHUP", "SIGTERM"):
    if hasattr(signal, _name):
        signal.signal(getattr(signal, _name), interrupted)

# ROOTS is supplied as JSON through an immutable hexadecimal Python literal.

MANIFEST_NAME = "__Tesmora_Backup__/manifest.json"
CONSISTENCY = ("SQLite uses online backup; other files are a live filesystem "
               "copy, not a coordinated VM snapshot.")
SERVICE_COMMAND = ["systemctl", "show", "parvolt-api.service",
                   "parvolt-scanner.service",
                   "--property=WorkingDirectory,ExecStart", "--no-pager"]
SQLITE_HEADER = b"SQLite format 3\x00"
SNAPSHOT_LIMIT = 180.0
GONE = (FileNotFoundError, NotADirectoryError)

WARN_DISCOVERY = "Disappeared during SQLite discovery: "
WARN_COPY = "Disappeared during live copy: "
WARN_SPECIAL = "Special device/socket/FIFO omitted: "


def effective_roots(entries):
    """Normalises the selected paths, drops duplicates and nested paths and
    returns the rest shallowest first, then by text."""
    invalid = RuntimeError("Select absolute real directories, not /")
    if not isinstance(entries, list) or not entries:
        raise invalid
    roots = set()
    for entry in entries:
        if not isinstance(entry, str):
            raise invalid
        path = os.path.normpath(entry)
        if path.startswith("//"):
            # POSIX lets normpath keep two leading slashes; they name the
            # same place here and must not defeat the nesting test below.
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
    # A directory that vanished while being walked was already listed by its
    # parent and is reported by the pass that meets it; any other listing
    # error would silently lose the directory's contents, so it is fatal.
    if isinstance(error, GONE):
        return
    raise error


def files(roots):
    """Yields every path to archive: each root, then for every directory its
    subdirectories and then its other entries (each group sorted), before
    descending depth first. Symbolic links are never followed."""
    for root in roots:
        yield root
        if not os.path.isdir(root) or os.path.islink(root):
            continue
        for top, subdirs, others in os.walk(root, onerror=_listing_failed):
            subdirs.sort()
            others.sort()
            for name in subdirs:
                yield os.path.join(top, name)
            for name in others:
                yield os.path.join(top, name)


def open_regular(path):
    """Opens a regular file for reading without following a symbolic link or
    waiting on a FIFO. Returns None when the path no longer names a regular
    file; raises the GONE errors when it has vanished."""
    flags = os.O_RDONLY
    for extra in ("O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"):
        flags |= getattr(os, extra, 0)
    try:
        descriptor = os.open(path, flags)
    except OSError as error:
        if error.errno == errno.ELOOP:
            return None
        raise
    handle = os.fdopen(descriptor, "rb")
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        handle.close()
        return None
    return handle


def read_header(path):
    """The first bytes of a regular file, read without following a symbolic
    link or waiting on a FIFO, or None when the path no longer names a
    regular file; raises the GONE errors when it has vanished."""
    flags = os.O_RDONLY
    for extra in ("O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"):
        flags |= getattr(os, extra, 0)
    try:
        descriptor = os.open(path, flags)
    except OSError as error:
        if error.errno == errno.ELOOP:
            return None
        raise
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return None
        header = b""
        while len(header) < len(SQLITE_HEADER):
            part = os.read(descriptor, len(SQLITE_HEADER) - len(header))
            if not part:
                break
            header += part
        return header
    finally:
        os.close(descriptor)


def copy_database(path, target):
    """Copies a live SQLite database through the online backup and checks
    the copy."""
    began = time.monotonic()

    def progress(status, remaining, total):
        if time.monotonic() - began > SNAPSHOT_LIMIT:
            raise RuntimeError("SQLite snapshot timed out: " + path)

    uri = pathlib.Path(path).as_uri() + "?mode=ro"
    source = sqlite3.connect(uri, uri=True, timeout=15)
    try:
        copy = sqlite3.connect(target)
        try:
            source.backup(copy, pages=512, progress=progress, sleep=0.02)
            row = copy.execute("PRAGMA quick_check").fetchone()
            result = row[0] if row else None
            if result != "ok":
                raise RuntimeError(
                    "SQLite quick_check: " + path + ": " + str(result))
        finally:
            copy.close()
    finally:
        source.close()


def snapshot_databases(roots, workdir, manifest):
    """Finds the SQLite databases among the regular files and snapshots each
    into workdir. Returns {database path: snapshot path}."""
    snapshots = {}
    for path in files(roots):
        try:
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            header = read_header(path)
        except GONE:
            manifest["warnings"].append(WARN_DISCOVERY + path)
            continue
        if header != SQLITE_HEADER:
            continue
        target = os.path.join(workdir, "%d.sqlite3" % len(snapshots))
        copy_database(path, target)
        snapshots[path] = target
        manifest["sqlite"].append({"path": path, "quick_check": "ok",
                                   "bytes": os.path.getsize(target)})
    return snapshots


def store(tar, path, snapshots, manifest):
    """Adds one path to the archive, or records why it was left out."""
    arcname = path.lstrip("/")
    try:
        mode = os.lstat(path).st_mode
        if stat.S_ISREG(mode):
            handle = open_regular(path)
            if handle is None:
                # The regular file that was listed has been replaced.
                manifest["warnings"].append(WARN_COPY + path)
                return
        elif stat.S_ISDIR(mode) or stat.S_ISLNK(mode):
            handle = None
        else:
            manifest["warnings"].append(WARN_SPECIAL + path)
            return
        registered = len(tar.inodes)
        # For a regular file the header comes from the open file, so that
        # header and data describe the same file even if the path is
        # replaced meanwhile.
        info = tar.gettarinfo(path, arcname, handle)
    except GONE:
        manifest["warnings"].append(WARN_COPY + path)
        return
    if handle is None and not (info and (info.isdir() or info.issym())):
        # Changed type between the two looks; forget a hard-link target
        # that would otherwise point at a member never written.
        if len(tar.inodes) > registered:
            tar.inodes.popitem()
        manifest["warnings"].append(WARN_COPY + path)
        return
    if handle is None or info.islnk():
        if handle is not None:
            handle.close()
        tar.addfile(info)
        return
    with handle:
        source = handle
        if path in snapshots:
            source = open(snapshots[path], "rb")
            info.size = os.fstat(source.fileno()).st_size
        with source:
            try:
                tar.addfile(info, source)
            except OSError as error:
                # tarfile reports a short read as an OSError without errno.
                if error.errno is None and source.tell() < info.size:
                    raise RuntimeError(
                        "File shrank while being copied: " + path) from error
                raise
    manifest["files"] += 1
    manifest["logical_bytes"] += info.size


def _cached_lookup(lookup):
    """Remembers the name lookup of each owner or group number: the tar
    writer asks once per member, and each answer may mean reading the user
    database afresh."""
    answers = {}

    def cached(number):
        if number not in answers:
            try:
                answers[number] = lookup(number)
            except KeyError:
                answers[number] = None
        if answers[number] is None:
            raise KeyError(number)
        return answers[number]
    return cached


class _CachedNames:
    def __init__(self, module, name):
        setattr(self, name, _cached_lookup(getattr(module, name)))


# tarfile looks owner and group names up through these two module names.
if getattr(tarfile, "pwd", None) is not None:
    tarfile.pwd = _CachedNames(tarfile.pwd, "getpwuid")
if getattr(tarfile, "grp", None) is not None:
    tarfile.grp = _CachedNames(tarfile.grp, "getgrgid")


class _Sink:
    """The file object the gzip writer writes its output to."""

    def __init__(self, send):
        self.write = send

    def flush(self):
        pass


class _Compressor:
    """Compresses the tar stream and writes it to standard output on a second
    thread. zlib and the pipe write run without the interpreter lock, so they
    overlap with reading files and building headers. A short queue of large
    chunks bounds the memory in flight.

    After a failure the stream is cut off: whatever the writers still emit
    while being shut down is discarded, so that a broken archive never ends
    like a whole one."""

    CHUNK = 1 << 20

    def __init__(self, descriptor):
        self.descriptor = descriptor
        self.cut = False
        self.failure = None
        self.pending = []
        self.pending_size = 0
        self.packer = None
        self.chunks = queue.Queue(4)
        self.worker = threading.Thread(target=self._compress)
        self.worker.daemon = True
        self.worker.start()

    # The tar writer's side.
    def write(self, data):
        if self.cut:
            return len(data)
        self._raise_failure()
        self.pending.append(bytes(data))
        self.pending_size += len(data)
        if self.pending_size >= self.CHUNK:
            self._hand_over()
        return len(data)

    def _raise_failure(self):
        # Raised afresh in this thread: the worker's frames say nothing more.
        if self.failure is not None:
            raise self.failure.with_traceback(None)

    def flush(self):
        pass

    def _hand_over(self):
        chunk = b"".join(self.pending)
        self.pending = []
        self.pending_size = 0
        self.chunks.put(chunk)

    def _compress(self):
        while True:
            chunk = self.chunks.get()
            if chunk is None:
                return
            if self.failure is None and not self.cut:
                try:
                    self._packer().write(chunk)
                except BaseException as error:
                    self.failure = error

    def _packer(self):
        # Made with the first chunk, so that the stream starts only once the
        # archive has content.
        if self.packer is None:
            self.packer = gzip.GzipFile(filename="", mode="wb",
                                        compresslevel=1,
                                        fileobj=_Sink(self._send))
        return self.packer

    # The packer's side: the compressed bytes go straight to the descriptor.
    def _send(self, data):
        view = memoryview(data)
        while view and not self.cut:
            view = view[os.write(self.descriptor, view):]
        return len(data)

    def finish(self):
        """Hands over the rest, waits for the worker, ends the gzip stream."""
        if self.pending:
            self._hand_over()
        self.chunks.put(None)
        self.worker.join()
        self._raise_failure()
        self._packer().close()

    def abandon(self):
        """Cuts the stream off; nothing more reaches standard output."""
        self.cut = True
        self.pending = []
        try:
            self.chunks.put_nowait(None)
        except queue.Full:
            pass


def write_archive(roots, snapshots, manifest, out):
    sidecars = set()
    for path in snapshots:
        sidecars.update((path + "-wal", path + "-shm", path + "-journal"))
    output = _Compressor(out)
    tar = tarfile.open(fileobj=output, mode="w|", format=tarfile.PAX_FORMAT,
                       dereference=False)
    try:
        for path in files(roots):
            if path not in sidecars:
                store(tar, path, snapshots, manifest)
        manifest["finished_utc"] = time.time()
        # Names that are not valid UTF-8 reach the text as lone surrogates;
        # they are written as JSON \u escapes so the manifest stays UTF-8.
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
        # finish the stream when they are collected.
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


def main():
    roots = effective_roots(globals().get("ROOTS"))
    missing = [root for root in roots if not os.path.exists(root)]
    if missing:
        raise RuntimeError("A selected source does not exist: " + str(missing))
    try:
        os.nice(10)
    except (AttributeError, OSError):
        pass
    manifest = {
        "format": 1,
        "started_utc": time.time(),
        "sources": roots,
        "sqlite": [],
        "warnings": [],
        "files": 0,
        "logical_bytes": 0,
        "consistency": CONSISTENCY,
    }
    describe_system(manifest)
    _hold_signals()
    workdir = tempfile.mkdtemp(prefix="tesmora-sqlite-backup-")
    try:
        _release_signals()
        snapshots = snapshot_databases(roots, workdir, manifest)
        write_archive(roots, snapshots, manifest, sys.stdout.fileno())
    finally:
        _hold_signals()
        shutil.rmtree(workdir, ignore_errors=True)
        _release_signals()


def _divert_standard_output():
    # After a failure nothing more may reach the client: buffered archive
    # bytes and the end blocks that objects write when they are collected
    # would make a broken archive look whole. A closed pipe cannot fail the
    # final flush either.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except Exception:
        pass


try:
    main()
except BaseException:
    _divert_standard_output()
    if _signals["received"] is not None:
        try:
            sys.stderr.write("Backup interrupted by signal %d\n"
                             % _signals["received"])
            sys.stderr.flush()
        except Exception:
            pass
        raise SystemExit(128 + _signals["received"])
    raise
