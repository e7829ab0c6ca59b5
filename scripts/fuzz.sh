#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, ASan, UBSan) and
# runs each for a bounded time on its seed corpus. Exits non-zero when a target
# crashes, leaks or trips a sanitizer; the input that did it is kept under
# <build dir>/artifacts/.
#
#   scripts/fuzz.sh [seconds per target, default 60]
#   scripts/fuzz.sh --corpus     rewrites the seed models of tests/fuzz/corpus/model_fuzz
# ZEQ_FUZZ_BUILD_DIR (default build-fuzz) and ZEQ_FUZZ_JOBS (default 2) tune the build.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: installing clang"
  apt-get install -y clang >/dev/null || { apt-get update >/dev/null && apt-get install -y clang >/dev/null; }
fi

build_dir="${ZEQ_FUZZ_BUILD_DIR:-build-fuzz}"
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S tests/fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j"${ZEQ_FUZZ_JOBS:-2}" >/dev/null

if [[ "${1:-}" == "--corpus" ]]; then
  mkdir -p tests/fuzz/corpus/model_fuzz
  "$build_dir/make_model_corpus" tests/fuzz/corpus/model_fuzz
  ls -l tests/fuzz/corpus/model_fuzz
  exit 0
fi

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || (( seconds < 1 )); then
  echo "usage: scripts/fuzz.sh [seconds per target] | --corpus" >&2
  exit 2
fi

status=0
for target in $(cat "$build_dir/fuzz_targets.txt" | tr ';' ' '); do
  seeds="tests/fuzz/corpus/$target"
  work="$build_dir/corpus/$target"        # new inputs go here; the seeds stay as committed
  artifacts="$build_dir/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  [[ -d "$seeds" ]] || seeds=""
  echo "fuzz: $target for ${seconds} s"
  if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      "$build_dir/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" $seeds 2>"$build_dir/$target.log"; then
    echo "fuzz: $target FAILED, see $build_dir/$target.log and $artifacts" >&2
    tail -40 "$build_dir/$target.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build_dir/$target.log" || true
  fi
done
exit $status
