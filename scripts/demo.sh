#!/usr/bin/env bash
# Sets up the machine (once), builds the program and shows it working under
# Wine: the scheduler self-test and the drive list, each written to a file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
python3 - <<'PY'
import sys, tempfile
from pathlib import Path
sys.path.insert(0, "tests/e2e")
from harness.wine import WinePrefix, windows_path

wine = WinePrefix().ensure()
out = Path(tempfile.mkdtemp(prefix="tesmora-demo-"))
for mode, name in [("--self-test", "self-test.txt"), ("--devices", "devices.json")]:
    target = out / name
    result = wine.run_program(mode, windows_path(target))
    print(f"TesmoraBackup.exe {mode} {windows_path(target)} -> exit code {result.returncode}")
    if target.exists():
        print("  wrote:", target.read_bytes().decode("utf-8", "replace"))
    log = wine.local_data_dir / "errors.log"
    if result.returncode != 0 and log.exists():
        print("  errors.log:", log.read_bytes().decode("utf-8", "replace").splitlines()[-1])
PY
