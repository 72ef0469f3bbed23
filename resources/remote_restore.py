# Tesmora site restore: runs once on the server. The client starts it through
# a short loader, python3 -X utf8 -c "...", that reads this text from
# standard input and runs it with IN, the buffered standard input. The
# request follows as a frame (its decimal length, a line feed, the JSON
# list): the new folder, the archive's SHA-256, its size, the logical bytes
# and members the manifest counts, and the snapshot's name. The rest of
# standard input carries the gzip tar. It is unpacked into a private sibling
# of the folder, proven against the SHA-256 and the manifest, and only then
# renamed to the folder's name. Standard error carries progress lines
# (0x1E "progress PHASE DONE TOTAL" LF) and, after the last of them, any error
# text; standard output one JSON object: the counts and restore-report.txt's
# text, or the kind of a failure. Exit status 0 only for a complete restore.
# Needs python3 3.7+, stdlib only.
import sys

if sys.version_info < (3, 7):
    raise SystemExit("python3 3.7 or newer is needed on the server; "
                     "found %d.%d" % sys.version_info[:2])

import codecs
import errno
import fcntl
import grp
import hashlib
import io
import json
import os
import pwd
import queue
import re
import shlex
import shutil
import signal
import socket
import stat
import struct
import tarfile
import threading
import time
import zlib

MANIFEST_NAME = "__Tesmora_Backup__/manifest.json"
DUMPS = "__Tesmora_Backup__/databases/"
REPORT_NAME = "restore-report.txt"
TEMPORARY_MARK = ".tesmora-restore-"
CHUNK = 1 << 20
MANIFEST_LIMIT = 64 << 20
# Room kept free beyond the data: metadata, the report, the file system's own.
SPACE_RESERVE = 16 << 20
BLOCK = 4096
WALK = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
SIDECARS = ("-wal", "-shm", "-journal")


class Failure(Exception):
    """A failure the user can act on; kind tells the client which."""

    def __init__(self, text, kind="failed"):
        Exception.__init__(self, text)
        self.kind = kind


def interrupted(signum, frame):
    raise SystemExit(128 + signum)


for _name in ("SIGHUP", "SIGTERM", "SIGINT"):
    signal.signal(getattr(signal, _name), interrupted)


class Progress:
    """One line a second from a thread of its own; a client that is gone
    ends the run, its cleanup included."""

    def __init__(self, total):
        self.phase, self.done, self.total = "unpack", 0, total
        self.stopped = threading.Event()
        self.lock = threading.Lock()

    def start(self):
        thread = threading.Thread(target=self._report)
        thread.daemon = True
        thread.start()

    def _report(self):
        while not self.stopped.is_set():
            with self.lock:
                if self.stopped.is_set():
                    return
                line = "\x1eprogress %s %d %d\n" % (self.phase, self.done,
                                                    self.total)
                try:
                    os.write(2, line.encode("ascii"))
                except OSError:
                    os.kill(os.getpid(), signal.SIGTERM)
                    return
            self.stopped.wait(1.0)

    def stop(self):
        self.stopped.set()
        with self.lock:
            pass


class Incoming:
    """Standard input as the tar reader takes it, hashed and counted."""

    def __init__(self, progress):
        self.hash = hashlib.sha256()
        self.size = 0
        self.progress = progress

    def read(self, size=-1):
        # The loader's buffer may already hold the first bytes of the archive.
        data = IN.read1(CHUNK if size is None or size < 0 else size)
        self.hash.update(data)
        self.size += len(data)
        self.progress.done = self.size
        return data

    def drain(self):
        while self.read(CHUNK):
            pass


class Unpacked:
    """The tar data as tarfile reads a file: standard input gunzipped in
    large pieces, gzip member after member, on a thread of its own while
    the headers are parsed. Forward only, but a step back within the
    current piece is kept. File data goes out as views of the pieces, never
    copied. tarfile's own stream mode copies its whole buffer for each
    512-byte header it reads, which costs more than the rest of the
    restore."""

    def __init__(self, incoming):
        self.incoming = incoming
        self.inflate, self.fed, self.pending = zlib.decompressobj(31), False, b""
        self.buffer, self.start, self.position, self.done = b"", 0, 0, False
        self.pieces = queue.Queue(16)
        thread = threading.Thread(target=self._produce)
        thread.daemon = True
        thread.start()

    def _produce(self):
        try:
            while True:
                data = self._inflate()
                self.pieces.put(data)
                if not data:
                    return
        except BaseException as error:
            self.pieces.put(error)

    def _inflated(self):
        piece = self.pieces.get()
        if isinstance(piece, BaseException):
            self.pieces.put(piece)
            raise piece
        return piece

    def _inflate(self):
        """The next tar bytes; empty at the end."""
        while True:
            raw, self.pending = self.pending or self.incoming.read(CHUNK), b""
            if not raw:
                if self.fed and not self.inflate.eof:
                    raise tarfile.ReadError("the gzip data ends early")
                return b""
            out = self.inflate.decompress(raw)
            self.fed = True
            if self.inflate.eof:
                self.pending = self.inflate.unused_data
                self.inflate, self.fed = zlib.decompressobj(31), False
            if out:
                return out

    def view(self, size):
        """Up to size bytes from the position on, without a copy: a view of
        the current piece, short at its end; empty only at the end of the
        stream."""
        while self.position >= self.start + len(self.buffer):
            if self.done:
                return memoryview(b"")
            self.start += len(self.buffer)
            self.buffer = self._inflated()
            self.done = not self.buffer
        offset = self.position - self.start
        piece = memoryview(self.buffer)[offset:offset + size]
        self.position += len(piece)
        return piece

    def read(self, size=-1):
        if size is None or size < 0:
            size = 1 << 62
        pieces = []
        while size > 0:
            piece = self.view(size)
            if not piece:
                break
            pieces.append(piece)
            size -= len(piece)
        return b"".join(pieces)

    def seek(self, position, whence=0):
        position += (0, self.position)[whence]
        if position < self.start:
            raise tarfile.ReadError("the archive went back before its buffer")
        self.position = position
        return position

    def tell(self):
        return self.position

    def drain(self):
        """The rest of the stream, which must hold only what follows the tar
        end mark: zeros."""
        while True:
            piece = self.view(CHUNK)
            if not piece:
                return
            if piece.tobytes().strip(b"\0"):
                raise tarfile.ReadError("data after the end of the archive")


# The fields of a POSIX header, as struct reads them in one call.
USTAR = struct.Struct("100s8s8s8s12s12s8s1s100s6s2s32s32s8s8s155s")
PLAIN = frozenset((tarfile.REGTYPE, tarfile.LNKTYPE, tarfile.SYMTYPE,
                   tarfile.DIRTYPE, tarfile.XHDTYPE))


def _octal(field):
    return int(field.partition(b"\0")[0] or b"0", 8)


class Header(tarfile.TarInfo):
    """tarfile's member, read faster: its header parser costs more than the
    rest of the restore for a site of small files. The plain POSIX headers
    the backup writes, without a name prefix, are read here in one step; any
    other header, and any that does not parse here, goes to tarfile's own
    parser, which also raises its errors."""

    @classmethod
    def frombuf(cls, buf, encoding, errors):
        if (len(buf) != tarfile.BLOCKSIZE or buf[257:263] != b"ustar\0"
                or buf[156:157] not in PLAIN or buf[345]):
            return super().frombuf(buf, encoding, errors)
        (name, mode, uid, gid, size, mtime, checksum, kind, linkname, _, _,
         uname, gname, major, minor, _) = USTAR.unpack_from(buf)
        try:
            numbers = [_octal(field) for field in (mode, uid, gid, size, mtime,
                                                   checksum, major, minor)]
        except ValueError:
            return super().frombuf(buf, encoding, errors)
        # The checksum field counts as spaces: 8 * 32.
        if numbers[5] != sum(buf) - sum(buf[148:156]) + 256:
            return super().frombuf(buf, encoding, errors)
        member = cls()
        (member.mode, member.uid, member.gid, member.size, member.mtime,
         member.chksum, member.devmajor, member.devminor) = numbers
        member.type = kind
        (member.name, member.linkname, member.uname, member.gname) = [
            field.partition(b"\0")[0].decode(encoding, errors)
            for field in (name, linkname, uname, gname)]
        if kind == tarfile.DIRTYPE:
            member.name = member.name.rstrip("/")
        return member


class Contents:
    """A member's bytes straight from the stream, as views that may come
    short: tarfile's file object costs more than the writing of a small
    file. Sparse members keep it."""

    def __init__(self, stream, member):
        stream.seek(member.offset_data)
        self.stream, self.left = stream, member.size

    def read(self, size):
        data = self.stream.view(min(size, self.left))
        if self.left and not data:
            raise tarfile.ReadError("unexpected end of data")
        self.left -= len(data)
        return data


class Forgotten(list):
    """tarfile's list of members, kept empty: each is handled once."""

    def append(self, member):
        pass


def mtime_ns(member):
    """The time to the nanosecond: a float would lose the last digits."""
    text = member.pax_headers.get("mtime")
    if text:
        whole, _, fraction = text.partition(".")
        try:
            sign = -1 if whole.startswith("-") else 1
            return int(whole) * 10 ** 9 + sign * int((fraction + "0" * 9)[:9])
        except ValueError:
            pass
    return int(member.mtime * 10 ** 9)


def parts_of(name):
    """The components of a member's name; None for an absolute name, a ".."
    or nothing at all."""
    if name.startswith("/"):
        return None
    parts = [p for p in name.split("/") if p not in ("", ".")]
    if not parts or ".." in parts:
        return None
    return parts


class Tree:
    """The private folder and every change made inside it, through open
    folders only: no step follows a link, so nothing lands outside."""

    def __init__(self, top):
        self.top = top
        self.cached = (None, None)  # the folder the last member went into

    def folder(self, parts, create):
        """An open descriptor of the folder parts, kept for the next member;
        made (0755) when create. Raises OSError (ELOOP, ENOTDIR) when a link
        or a file is on the way."""
        key = "/".join(parts)
        if self.cached[0] == key:
            return self.cached[1]
        current = self.walk(parts, create)
        if self.cached[1] is not None:
            os.close(self.cached[1])
        self.cached = (key, current)
        return current

    def walk(self, parts, create=False):
        """A new descriptor of the folder parts, which the caller closes."""
        current = os.dup(self.top)
        try:
            for part in parts:
                try:
                    step = os.open(part, WALK, dir_fd=current)
                except FileNotFoundError:
                    if not create:
                        raise
                    os.mkdir(part, 0o755, dir_fd=current)
                    step = os.open(part, WALK, dir_fd=current)
                os.close(current)
                current = step
        except BaseException:
            os.close(current)
            raise
        return current


class Restore:
    def __init__(self, roots):
        if not isinstance(roots, list) or len(roots) != 6:
            raise Failure("The restore command is malformed")
        folder, self.digest, size, logical, members, self.snapshot = roots
        self.size, logical, members = int(size), int(logical), int(members)
        self.target = os.path.normpath(folder)
        if self.target.startswith("//"):
            self.target = "/" + self.target.lstrip("/")
        if not os.path.isabs(self.target) or self.target == "/":
            raise Failure("Choose an empty or new folder to restore into: "
                          "give an absolute path, not /", "target")
        self.parent_path, self.name = os.path.split(self.target)
        try:
            self.parent = os.open(self.parent_path, os.O_RDONLY |
                                  os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as error:
            raise Failure("The restore folder's parent %s cannot be opened: %s"
                          % (self.parent_path, error.strerror), "target")
        self.check_target()
        self.clear_leftovers()
        self.check_space(logical, members)
        self.root = os.geteuid() == 0
        self.login = pwd.getpwuid(os.geteuid()).pw_name
        self.counts = dict.fromkeys(("files", "bytes", "directories",
                                     "symlinks", "hardlinks"), 0)
        self.refused, self.reduced, self.owners = [], [], set()
        self.ids = {}
        self.directories = []
        self.regular = 0

    def check_target(self):
        try:
            status = os.lstat(self.name, dir_fd=self.parent)
        except FileNotFoundError:
            return
        if stat.S_ISLNK(status.st_mode):
            raise Failure("Choose an empty or new folder to restore into: %s "
                          "is a symbolic link" % self.target, "target")
        if not stat.S_ISDIR(status.st_mode):
            raise Failure("Choose an empty or new folder to restore into: %s "
                          "is not a folder" % self.target, "target")
        descriptor = os.open(self.name, WALK, dir_fd=self.parent)
        try:
            if os.listdir(descriptor):
                raise Failure("Choose an empty or new folder to restore "
                              "into: %s is not empty" % self.target, "target")
        finally:
            os.close(descriptor)

    def clear_leftovers(self):
        """Removes the private folders of earlier runs for this name that no
        running restore holds."""
        prefix = "." + self.name + TEMPORARY_MARK
        for entry in os.listdir(self.parent):
            if not entry.startswith(prefix):
                continue
            try:
                descriptor = os.open(entry, WALK, dir_fd=self.parent)
            except OSError:
                continue
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                shutil.rmtree(os.path.join(self.parent_path, entry))
            except OSError:
                pass
            finally:
                os.close(descriptor)

    def check_space(self, logical, members):
        facts = os.statvfs(self.parent)
        need = logical + members * BLOCK + SPACE_RESERVE
        free = facts.f_bavail * facts.f_frsize
        if free < need:
            raise Failure("Not enough free space in %s: %d MiB free, %d MiB "
                          "needed" % (self.parent_path, free >> 20, need >> 20),
                          "space")
        if facts.f_files and facts.f_favail < members:
            raise Failure("Not enough free inodes in %s for %d entries"
                          % (self.parent_path, members), "space")

    def make_temporary(self):
        while True:
            self.temporary = ("." + self.name + TEMPORARY_MARK +
                              os.urandom(4).hex())
            try:
                os.mkdir(self.temporary, 0o700, dir_fd=self.parent)
                break
            except FileExistsError:
                continue
        self.top = os.open(self.temporary, WALK, dir_fd=self.parent)
        # Held while this run lives, so no other run clears the folder.
        fcntl.flock(self.top, fcntl.LOCK_EX)
        self.tree = Tree(self.top)

    def remove_temporary(self):
        shutil.rmtree(os.path.join(self.parent_path, self.temporary),
                      ignore_errors=True)

    def refuse(self, member, why):
        self.refused.append("«%s»: %s" % (member.name, why))

    def owner_of(self, member):
        """The owner to give: the archive's names where this server knows
        them, else its numbers."""
        key = (member.uname, member.gname, member.uid, member.gid)
        if key not in self.ids:
            uid, gid = member.uid, member.gid
            try:
                uid = pwd.getpwnam(member.uname).pw_uid if member.uname else uid
            except KeyError:
                pass
            try:
                gid = grp.getgrnam(member.gname).gr_gid if member.gname else gid
            except KeyError:
                pass
            self.ids[key] = (uid, gid)
        uid, gid = self.ids[key]
        self.owners.add("%s:%s" % (member.uname or uid, member.gname or gid))
        return uid, gid

    def settle(self, target, member, place=None):
        """Owner, mode and time of what was just made: target is a
        descriptor, or a name in the folder place for a link."""
        if place is not None:
            if self.root:
                uid, gid = self.owner_of(member)
                os.chown(target, uid, gid, dir_fd=place,
                         follow_symlinks=False)
            mtime = mtime_ns(member)
            os.utime(target, ns=(mtime, mtime), dir_fd=place,
                     follow_symlinks=False)
            return
        if self.root:
            uid, gid = self.owner_of(member)
            os.fchown(target, uid, gid)
        elif member.name != MANIFEST_NAME:
            self.owners.add("%s:%s" % (member.uname or member.uid,
                                       member.gname or member.gid))
        mode = member.mode & 0o7777
        os.fchmod(target, mode)
        # Without the right, the system drops setuid and setgid silently.
        if mode & 0o7000 and stat.S_IMODE(os.fstat(target).st_mode) != mode:
            self.reduced.append(member.name)
        mtime = mtime_ns(member)
        os.utime(target, ns=(mtime, mtime))

    def unpack(self, tar):
        last = None
        for member in tar:
            last = member.name
            if member.isreg() and member.name != MANIFEST_NAME:
                self.regular += 1
            source = None
            if member.isreg():
                source = (Contents(tar.fileobj, member) if member.sparse is None
                          else tar.extractfile(member))
            if member.name == MANIFEST_NAME and source is not None:
                # The stream cannot be read twice: the file gets these bytes.
                pieces, left = [], MANIFEST_LIMIT
                while left:
                    piece = source.read(min(left, CHUNK))
                    if not piece:
                        break
                    pieces.append(piece)
                    left -= len(piece)
                self.manifest = b"".join(pieces)
                source = io.BytesIO(self.manifest)
            parts = parts_of(member.name)
            if parts is None:
                self.refuse(member, "путь вне папки восстановления")
                continue
            try:
                self.unpack_member(source, member, parts)
            except OSError as error:
                if error.errno in (errno.ENOSPC, errno.EDQUOT):
                    raise Failure("The server's disk filled up during the "
                                  "restore", "space")
                if error.errno in (errno.ELOOP, errno.ENOTDIR, errno.EEXIST):
                    self.refuse(member, "на пути ссылка или файл")
                else:
                    self.refuse(member, error.strerror or str(error))
        return last

    def unpack_member(self, source, member, parts):
        place = self.tree.folder(parts[:-1], True)
        name = parts[-1]
        if member.isdir():
            try:
                os.mkdir(name, 0o700, dir_fd=place)
            except FileExistsError:
                pass
            descriptor = os.open(name, WALK, dir_fd=place)
            os.close(descriptor)
            self.directories.append((parts, member))
            self.counts["directories"] += 1
        elif member.isreg():
            descriptor = os.open(name, CREATE, 0o600, dir_fd=place)
            try:
                while True:
                    data = source.read(CHUNK)
                    if not data:
                        break
                    view = memoryview(data)
                    while view:
                        view = view[os.write(descriptor, view):]
                self.settle(descriptor, member)
            finally:
                os.close(descriptor)
            self.counts["files"] += 1
            self.counts["bytes"] += member.size
        elif member.issym():
            os.symlink(member.linkname, name, dir_fd=place)
            self.settle(name, member, place)
            self.counts["symlinks"] += 1
        elif member.islnk():
            source = parts_of(member.linkname)
            if source is None:
                self.refuse(member, "жёсткая ссылка вне папки")
                return
            origin = self.tree.walk(source[:-1])
            try:
                os.link(source[-1], name, src_dir_fd=origin, dst_dir_fd=place,
                        follow_symlinks=False)
            finally:
                os.close(origin)
            self.counts["hardlinks"] += 1
        else:
            self.refuse(member, "особый файл")

    def finish_directories(self):
        """Modes, owners and times of the folders, deepest first, after their
        contents were written."""
        for parts, member in sorted(self.directories, key=lambda d: -len(d[0])):
            try:
                place = self.tree.walk(parts)
                try:
                    self.settle(place, member)
                finally:
                    os.close(place)
            except OSError as error:
                self.refuse(member, error.strerror or str(error))

    def prove(self, incoming, last):
        incoming.drain()
        if incoming.size != self.size or incoming.hash.hexdigest() != self.digest:
            raise Failure("The archive arrived damaged: its SHA-256 differs "
                          "from SHA256SUMS.txt", "damaged")
        if last != MANIFEST_NAME:
            raise Failure("The archive arrived damaged: the manifest is not "
                          "its last member", "damaged")
        try:
            manifest = json.loads(self.manifest.decode("utf-8"))
            files = manifest["files"]
        except (ValueError, KeyError, TypeError):
            raise Failure("The archive's manifest does not parse", "damaged")
        if files != self.regular:
            raise Failure("The manifest counts %d files and the archive holds "
                          "%d" % (files, self.regular), "damaged")
        return manifest

    def drop_sidecars(self, manifest):
        """A database copy is whole in itself: old -wal or -shm files beside
        it would be read into it."""
        for database in manifest.get("sqlite", []):
            parts = parts_of(database.get("path", "").lstrip("/"))
            if not parts:
                continue
            try:
                place = self.tree.folder(parts[:-1], False)
            except OSError:
                continue
            for suffix in SIDECARS:
                try:
                    os.unlink(parts[-1] + suffix, dir_fd=place)
                except OSError:
                    pass

    def report(self, manifest):
        counts = self.counts
        lines = [
            "Восстановление копии %s в папку %s на сервере %s"
            % (self.snapshot, self.target, socket.gethostname()),
            "Восстановлено: %d файлов, %d МиБ, папок %d, символических ссылок "
            "%d, жёстких ссылок %d; отказано %d" % (
                counts["files"], counts["bytes"] >> 20, counts["directories"],
                counts["symlinks"], counts["hardlinks"], len(self.refused)),
            ""]
        owners = ", ".join(sorted(self.owners)) or "-"
        if self.root:
            lines.append("Владельцы и группы - как в архиве: " + owners)
        else:
            lines.append(
                "Владельцы: всё принадлежит пользователю %s, потому что вход "
                "был не от root. В архиве были владельцы: %s. Чтобы вернуть их, "
                "восстановите копию от root." % (self.login, owners))
        if self.reduced:
            lines.append("Права setuid/setgid не установлены (нет прав у "
                         "пользователя %s): %s" % (self.login,
                                                  ", ".join(self.reduced)))
        databases = manifest.get("sqlite", [])
        if databases:
            lines.append("Базы SQLite восстановлены обычными файлами, без -wal "
                         "и -shm: " + ", ".join(d.get("path", "?")
                                               for d in databases))
        lines += ["", "Отказано (%d):" % len(self.refused)]
        lines += ["  " + line for line in self.refused] or ["  ничего"]
        lines += ["", "Как переключить сайт на восстановленные файлы:",
                  "  1. Остановите службы, которые пишут в сайт "
                  "(например, systemctl stop nginx php-fpm)."]
        for source in manifest.get("sources", []):
            restored = os.path.join(self.target, source.lstrip("/"))
            lines += [
                "  2. Переименуйте папки: mv %s %s.before-restore && mv %s %s"
                % (source, source, restored, source),
                "     или укажите веб-серверу новый корень: %s" % restored]
        loads = self.dump_commands()
        if loads:
            lines.append("  3. Загрузите дампы баз данных:")
            lines += ["       " + command for command in loads]
        lines += ["  %d. Запустите службы и проверьте сайт."
                  % (4 if loads else 3), ""]
        return "\n".join(lines)

    def dump_commands(self):
        """How to load each database dump that came back under DUMPS: the
        backup names them <engine>-<database>[-n].sql, plain SQL."""
        try:
            place = self.tree.walk(parts_of(DUMPS))
            try:
                names = sorted(os.listdir(place))
            finally:
                os.close(place)
        except OSError:
            return []
        commands = []
        for name in names:
            path = shlex.quote(os.path.join(self.target, DUMPS, name))
            engine, _, database = name[:-len(".sql")].partition("-")
            database = shlex.quote(re.sub(r"-[0-9]+$", "", database))
            if engine == "mysql" and name.endswith(".sql"):
                commands.append("mysql -e 'CREATE DATABASE IF NOT EXISTS `%s`' "
                                "&& mysql %s < %s" % (database.strip("'"), database,
                                                       path))
            elif engine == "postgresql" and name.endswith(".sql"):
                commands.append("createdb %s; psql -d %s -f %s"
                                % (database, database, path))
            else:
                commands.append("%s: загрузите средствами её базы данных"
                                % path)
        return commands

    def run(self):
        progress = Progress(self.size)
        progress.start()
        self.make_temporary()
        self.manifest = b""
        try:
            incoming = Incoming(progress)
            stream = Unpacked(incoming)
            with tarfile.open(fileobj=stream, mode="r:",
                              tarinfo=Header) as tar:
                tar.members = Forgotten()
                last = self.unpack(tar)
            stream.drain()
            manifest = self.prove(incoming, last)
            progress.phase = "finish"
            self.drop_sidecars(manifest)
            self.finish_directories()
            text = self.report(manifest)
            descriptor = os.open(REPORT_NAME, CREATE, 0o644, dir_fd=self.top)
            try:
                os.write(descriptor, text.encode("utf-8", "backslashreplace"))
            finally:
                os.close(descriptor)
            os.chmod(self.top, 0o755)
            self.check_target()
            os.rename(self.temporary, self.name, src_dir_fd=self.parent,
                      dst_dir_fd=self.parent)
        except BaseException:
            progress.stop()
            self.remove_temporary()
            raise
        progress.stop()
        answer = dict(self.counts, refused=len(self.refused), root=self.root,
                      login=self.login, report=text)
        os.write(1, json.dumps(answer, ensure_ascii=True).encode("ascii"))


def _say(text):
    text = "".join(c if c >= " " else "\\x%02x" % ord(c) for c in text)
    try:
        os.write(2, (text + "\n").encode("utf-8", "backslashreplace"))
    except OSError:
        pass


def read_request():
    """The request frame: its decimal length, a line feed, the JSON."""
    line = IN.readline(32)
    try:
        size = int(line)
    except ValueError:
        raise Failure("The request does not parse: it begins with %r" % line)
    data = IN.read(size)
    if len(data) != size:
        raise Failure("The request arrived cut short: %d of %d bytes"
                      % (len(data), size))
    return json.loads(data.decode("utf-8"))


def main():
    if codecs.lookup(sys.getfilesystemencoding()).name != "utf-8":
        raise Failure("python3 on the server reads names as %s; run it with "
                      "-X utf8" % sys.getfilesystemencoding())
    Restore(read_request()).run()


try:
    main()
except BaseException as error:
    kind = getattr(error, "kind", "failed")
    if isinstance(error, SystemExit) and error.code and error.code != 1:
        _say("Restore interrupted by signal %d" % (error.code - 128))
    elif isinstance(error, Failure):
        _say(str(error))
    elif isinstance(error, (tarfile.TarError, EOFError, zlib.error)):
        kind = "damaged"
        _say("The archive arrived cut short or damaged: %s" % error)
    else:
        _say("%s: %s" % (type(error).__name__, error))
    try:
        os.write(1, json.dumps({"kind": kind}).encode("ascii"))
    except OSError:
        pass
    raise SystemExit(1 if not isinstance(error, SystemExit)
                     else error.code or 1)
