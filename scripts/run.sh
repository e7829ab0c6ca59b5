#!/usr/bin/env bash
# Sets up (packages, build) and runs the main job on the bundled default.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build_dir="${ZEQ_BUILD_DIR:-build}"
"$build_dir"/bench/engine_bench --benchmark_min_time=0.2
