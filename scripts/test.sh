#!/usr/bin/env bash
# Sets up (packages, build) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
ZEQ_CMAKE_ARGS="-DZEQ_WERROR=ON ${ZEQ_CMAKE_ARGS:-}" bash scripts/setup.sh
build_dir="${ZEQ_BUILD_DIR:-build}"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" ${ZEQ_CTEST_ARGS:-}
