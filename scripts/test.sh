#!/usr/bin/env bash
# Sets up the machine (once), builds everything and runs every test: the
# native unit tests, the same unit tests under Wine, and the end-to-end tests
# of dist/TesmoraBackup.exe under Wine against loopback servers.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
bash scripts/setup.sh
bash scripts/build.sh
status=0
python3 tests/run_all.py || status=$?
echo "scripts/test.sh took $(( $(date +%s) - started )) s"
exit "$status"
