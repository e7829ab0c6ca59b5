#!/usr/bin/env bash
# Sets up (packages, build) and runs the main job: zeq-track on the bundled
# sample, writing out/address_tracked.mp4 (annotated video) and
# out/address_results.jsonl (per-frame results). Extra arguments go to zeq-track
# (for example --max-frames 100).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build_dir="${ZEQ_BUILD_DIR:-build}"

if [ ! -f models/zeqTracker.model ] || [ ! -f models/face.xml ]; then
  echo "run.sh: the build is done, but the default model is not there yet:"
  echo "run.sh:   models/zeqTracker.model and models/face.xml are missing."
  echo "run.sh: Put a trained model into models/ and run this script again, or run"
  echo "run.sh:   $build_dir/bin/zeq-track --models <model directory>"
  exit 0
fi

"$build_dir"/bin/zeq-track --input samples/address.mp4 \
  --output out/address_tracked.mp4 --results out/address_results.jsonl "$@"
