#!/usr/bin/env bash
# Builds a minimal static OpenCV from Debian's own source package, for one
# target (linux-x86_64 or windows-x86_64), and installs it into a cache outside
# the clone. The cache key holds the OpenCV version, the target and a hash of
# the options and toolchain, so a later run with the same inputs takes seconds.
#
#   scripts/build-opencv.sh linux-x86_64|windows-x86_64|macos-universal
#
# macos-universal runs on a Mac (x86_64 and arm64 in one build, with the SDK's
# zlib); there is no apt there, so the source package must already be in the
# cache's src/ folder (copy it from a Debian machine that ran this script).
#
# Prints the install prefix on the last line of stdout.
# Environment: ZEQ_CACHE (default /var/cache/zeqtracker), ZEQ_JOBS (default 2).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?usage: build-opencv.sh linux-x86_64|windows-x86_64|macos-universal}"
cache="${ZEQ_CACHE:-/var/cache/zeqtracker}"
jobs="${ZEQ_JOBS:-2}"
opencv_version=4.6.0

# shellcheck source=scripts/lib-packages.sh
. "$repo/scripts/lib-packages.sh"

common_opts=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
  -DBUILD_LIST=core,imgproc,objdetect,calib3d,features2d,flann,video,videoio
  -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF
  -DWITH_QUIRC=OFF -DWITH_PROTOBUF=OFF -DWITH_ADE=OFF -DWITH_TBB=OFF -DWITH_OPENEXR=OFF
  -DWITH_LAPACK=OFF -DWITH_EIGEN=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF
  -DWITH_PNG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF
  -DWITH_VA=OFF -DWITH_VA_INTEL=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_VTK=OFF
  -DWITH_OPENNI=OFF -DWITH_OPENNI2=OFF -DWITH_OBSENSOR=OFF -DWITH_CUDA=OFF
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF
  -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF
  -DOPENCV_GENERATE_PKGCONFIG=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
)
case "$target" in
  linux-x86_64)
    packages=(build-essential cmake dpkg-dev zlib1g-dev)
    # JPEG from Debian's libjpeg-turbo source, built static and position
    # independent (Debian's own libjpeg.a is not, so it cannot go into a shared
    # library): the built-in MJPEG AVI reader and MJPEG cameras decode with it.
    jpeg="$cache/libjpeg-turbo-pic"
    target_opts=(-DWITH_V4L=ON -DWITH_1394=OFF -DWITH_GPHOTO2=OFF -DBUILD_ZLIB=OFF
                 -DWITH_JPEG=ON -DBUILD_JPEG=OFF -DJPEG_LIBRARY="$jpeg/lib/libjpeg.a"
                 -DJPEG_INCLUDE_DIR="$jpeg/include")
    toolchain=""
    ;;
  windows-x86_64)
    packages=(cmake dpkg-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev)
    toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
    # The static libz.a rather than the import library: the DLL must not need a zlib DLL.
    # Debian has no libjpeg for mingw-w64: no image codec at all.
    target_opts=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWITH_MSMF=OFF -DWITH_DSHOW=ON -DWITH_JPEG=OFF
                 -DBUILD_ZLIB=OFF -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a
                 -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include)
    ;;
  macos-universal)
    packages=()
    toolchain=""
    # One build for both architectures: no per-architecture SIMD flags (the
    # compiler's defaults, SSE2 and NEON, still apply).
    target_opts=("-DCMAKE_OSX_ARCHITECTURES=x86_64;arm64" -DCMAKE_OSX_DEPLOYMENT_TARGET=10.15
                 -DCPU_BASELINE= -DCPU_DISPATCH= -DWITH_AVFOUNDATION=ON -DWITH_JPEG=OFF -DBUILD_ZLIB=OFF)
    ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac

sha256() { if command -v sha256sum >/dev/null; then sha256sum; else shasum -a 256; fi; }
# The key holds the options with the clone's own path left out (the toolchain
# file counts by its content), so that every clone of the repository shares one
# cached build.
key="$( { printf '%s\n' "$opencv_version" "$target" "${common_opts[@]}" "${target_opts[@]//$repo/<repo>}"
          [ -z "$toolchain" ] || cat "$toolchain"; } | sha256 | cut -c1-12)"
prefix="$cache/opencv-$opencv_version-$target-$key"
[ -z "${ZEQ_PRINT_KEY:-}" ] || { echo "$prefix"; exit 0; }
if [ -f "$prefix/.complete" ]; then
  echo "OpenCV $opencv_version for $target: cached in $prefix" >&2
  echo "$prefix"
  exit 0
fi

[ ${#packages[@]} -eq 0 ] || zeq_install_packages "${packages[@]}"

src_root="$cache/src"
mkdir -p "$src_root" "$cache/build"

# Fetches a Debian source package into the cache once; prints its folder.
source_package() {  # <package> <folder glob>
  local dir
  dir=$(ls -d "$src_root"/$2 2>/dev/null | head -1)
  if [ -z "$dir" ]; then
    command -v apt-get >/dev/null || { echo "no $1 source in $src_root and no apt-get to fetch it" >&2; exit 1; }
    zeq_ensure_deb_src
    (cd "$src_root" && apt-get source -qq "$1" >&2)
    dir=$(ls -d "$src_root"/$2 2>/dev/null | head -1)
    [ -n "$dir" ] || { echo "apt-get source $1 gave no $2" >&2; exit 1; }
  fi
  echo "$dir"
}

if [ "$target" = linux-x86_64 ] && [ ! -f "$jpeg/.complete" ]; then
  jpeg_src=$(source_package libjpeg-turbo 'libjpeg-turbo-*')
  rm -rf "$cache/build/libjpeg-turbo" "$jpeg"
  if ! { cmake -S "$jpeg_src" -B "$cache/build/libjpeg-turbo" -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF \
           -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
         && cmake --build "$cache/build/libjpeg-turbo" -j"$jobs" --target jpeg-static \
         && mkdir -p "$jpeg/lib" "$jpeg/include" && cp "$cache/build/libjpeg-turbo/libjpeg.a" "$jpeg/lib/" \
         && cp "$jpeg_src"/{jpeglib.h,jerror.h,jmorecfg.h} "$cache/build/libjpeg-turbo/jconfig.h" "$jpeg/include/"
       } >"$cache/build/libjpeg-turbo.log" 2>&1; then
    tail -30 "$cache/build/libjpeg-turbo.log" >&2
    echo "libjpeg-turbo build failed" >&2
    exit 1
  fi
  rm -rf "$cache/build/libjpeg-turbo"
  touch "$jpeg/.complete"
fi

src=$(source_package opencv "opencv-$opencv_version+dfsg")
build="$cache/build/opencv-$opencv_version-$target-$key"
rm -rf "$build" "$prefix"
start=$(date +%s)
echo "Building OpenCV $opencv_version for $target into $prefix (log: $build.log)" >&2
mkdir -p "$build"
if ! { cmake -S "$src" -B "$build" -DCMAKE_INSTALL_PREFIX="$prefix" "${common_opts[@]}" "${target_opts[@]}" \
       && cmake --build "$build" -j"$jobs" && cmake --install "$build"; } >"$build.log" 2>&1; then
  tail -40 "$build.log" >&2
  echo "OpenCV build for $target failed (full log: $build.log)" >&2
  exit 1
fi
rm -rf "$build"
touch "$prefix/.complete"
echo "OpenCV $opencv_version for $target built in $(( $(date +%s) - start )) s" >&2
echo "$prefix"
