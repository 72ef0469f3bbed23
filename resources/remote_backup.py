# Tesmora site backup: runs once on the server, started by the client as
# python3 -c "exec(bytes.fromhex('...'))" with a ROOTS line before this text.
# Writes a gzip PAX tar of ROOTS to standard output, diagnostics to standard
# error. Exit status: 0 for a complete archive, 1 for any failure, 128 +
# signal number after SIGHUP or SIGTERM. Needs python3 3.7+, stdlib only.
# Indented with tabs: the command line that carries this text is limited.
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
NOFOLLOW = os.O_RDONLY
for _name in ("O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"):
	NOFOLLOW |= getattr(os, _name, 0)


def effective_roots(entries):
	"""Normalised roots without duplicates and nested paths, shallowest
	first, then by text."""
	invalid = RuntimeError("Select absolute real directories, not /")
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
		raise error


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
	"""A descriptor of the regular file at path, opened without following a
	link or waiting on a FIFO; None when it is no longer a regular file."""
	try:
		descriptor = os.open(path, NOFOLLOW)
	except OSError as error:
		if error.errno == errno.ELOOP:
			return None
		raise
	if not stat.S_ISREG(os.fstat(descriptor).st_mode):
		os.close(descriptor)
		return None
	return descriptor


def copy_database(path, target):
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
	"""Snapshots every SQLite database into workdir: {path: snapshot}."""
	snapshots = {}
	for path in files(roots):
		try:
			if not stat.S_ISREG(os.lstat(path).st_mode):
				continue
			descriptor = open_regular(path)
		except GONE:
			manifest["warnings"].append(WARN_DISCOVERY + path)
			continue
		if descriptor is None:
			continue
		try:
			header = b""
			while len(header) < 16:
				part = os.read(descriptor, 16 - len(header))
				if not part:
					break
				header += part
		finally:
			os.close(descriptor)
		if header == SQLITE_HEADER:
			target = os.path.join(workdir, "%d.sqlite3" % len(snapshots))
			copy_database(path, target)
			snapshots[path] = target
			manifest["sqlite"].append({"path": path, "quick_check": "ok",
				"bytes": os.path.getsize(target)})
	return snapshots


def store(tar, path, snapshots, manifest):
	"""Adds one path to the archive, or records why it was left out."""
	try:
		mode = os.lstat(path).st_mode
		if stat.S_ISREG(mode):
			descriptor = open_regular(path)
			if descriptor is None:  # replaced since it was listed
				manifest["warnings"].append(WARN_COPY + path)
				return
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


def write_archive(roots, snapshots, manifest, descriptor):
	sidecars = set()
	for path in snapshots:
		sidecars.update((path + "-wal", path + "-shm", path + "-journal"))
	output = _Compressor(descriptor)
	# Written straight through rather than in 10 KiB records: the bytes are
	# the same, the copies fewer.
	tar = tarfile.open(fileobj=output, mode="w", format=tarfile.PAX_FORMAT,
		dereference=False)
	tar.copybufsize = 1 << 20
	try:
		for path in files(roots):
			if path not in sidecars:
				store(tar, path, snapshots, manifest)
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


def main():
	roots = effective_roots(globals().get("ROOTS"))
	missing = [root for root in roots if not os.path.exists(root)]
	if missing:
		raise RuntimeError("A selected source does not exist: " + str(missing))
	try:
		os.nice(10)
	except (AttributeError, OSError):
		pass
	manifest = {"format": 1, "started_utc": time.time(), "sources": roots,
				"sqlite": [], "warnings": [], "files": 0,
				"logical_bytes": 0, "consistency": CONSISTENCY}
	describe_system(manifest)
	_hold(True)
	workdir = tempfile.mkdtemp(prefix="tesmora-sqlite-backup-")
	try:
		_hold(False)
		snapshots = snapshot_databases(roots, workdir, manifest)
		write_archive(roots, snapshots, manifest, sys.stdout.fileno())
	finally:
		_hold(True)
		shutil.rmtree(workdir, ignore_errors=True)
		_hold(False)


try:
	main()
except BaseException:
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
		try:
			sys.stderr.write("Backup interrupted by signal %d\n"
				% _signals["received"])
			sys.stderr.flush()
		except Exception:
			pass
		raise SystemExit(128 + _signals["received"])
	raise
