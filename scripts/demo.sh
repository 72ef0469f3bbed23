#!/usr/bin/env bash
# The main job, end to end on this machine: sets up, builds, starts a
# throwaway OpenSSH server on 127.0.0.1 holding a small sample website, maps a
# Wine drive to a temporary folder, stores the password and the settings, runs
# TesmoraBackup.exe --backup-now under Wine, checks the snapshot with
# sha256sum -c, shows what it holds, and stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
python3 - <<'PY'
import json, shutil, subprocess, sys, tarfile, tempfile, time
from pathlib import Path
sys.path.insert(0, "tests/e2e")
from harness.site import BoundDrive, make_sample_site, verify_checksums
from harness.sshd import SshServer
from harness.wine import WinePrefix

wine = WinePrefix().ensure()
work = Path(tempfile.mkdtemp(prefix="tesmora-demo-"))
started = time.monotonic()
with SshServer("ecdsa") as server:
    site = make_sample_site("demo-site")
    print(f"server: {server.user}@{server.host}:{server.port}, host key {server.fingerprint()}")
    print(f"site:   {site} (folders, a Cyrillic file name, a symlink, a live SQLite database in WAL mode)")
    drive = BoundDrive(wine, work / "usb-stick", "e", server, [site])
    print(f"drive:  E:\\ -> {drive.folder} ({drive.device})")
    result = drive.run("--backup-now")
    try:
        if result.returncode != 0:
            print("backup FAILED:", wine.error_log().strip().splitlines()[-1])
            sys.exit(1)
        [snapshot] = drive.snapshots()
        ok, output = verify_checksums(snapshot)
        print(f"\nsnapshot: {snapshot}")
        for f in sorted(snapshot.iterdir()):
            print(f"  {f.name:16} {f.stat().st_size:>9} bytes")
        print("backup.log:")
        for line in (drive.backup_folder / "backup.log").read_text().splitlines():
            print("  " + line)
        with tarfile.open(snapshot / "site.tar.gz") as archive:
            members = archive.getmembers()
            manifest = json.load(archive.extractfile(members[-1]))
        print(f"archive: {len(members)} members; the last is {members[-1].name}")
        for m in members[:-1]:
            kind = "link -> " + m.linkname if m.issym() else ("dir" if m.isdir() else f"{m.size} bytes")
            print(f"  {m.name}  ({kind})")
        print("manifest: " + ", ".join(f"{k}={manifest[k]}" for k in ("files", "logical_bytes", "consistency") if k in manifest))
        print(f"\ndemo took {time.monotonic() - started:.1f} s")
        print(f"snapshot: {snapshot}")
        print(f"sha256sum -c: {output}")
        sys.exit(0 if ok else 1)
    finally:
        drive.unmap()
        shutil.rmtree(site, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
PY
