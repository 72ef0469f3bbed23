#!/usr/bin/env bash
# Sets up, builds and prints the benchmark figures as name=value lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
bash scripts/build.sh >&2
python3 bench/run_bench.py
