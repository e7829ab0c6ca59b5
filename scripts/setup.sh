#!/usr/bin/env bash
# Installs what the build needs from Debian's packages (only what is missing),
# then configures and builds the project in ./build.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libopencv-dev libeigen3-dev opencv-data
          libgtest-dev libgmock-dev libbenchmark-dev mono-mcs mono-runtime python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build_dir="${ZEQ_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release ${ZEQ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
