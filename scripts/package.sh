#!/usr/bin/env bash
# Builds the self-contained plug-ins (Linux x86-64, Windows x86-64; a universal
# macOS bundle on a Mac) against a static minimal OpenCV, puts them with the
# binding, the model and the sample into the Unity package, and proves each
# binary in a real host:
#   dist/linux-x86_64/libzeqtracker.so
#   dist/windows-x86_64/zeqtracker.dll
#   dist/com.zeqtracker.facetracker-<version>.tgz
# Exits non-zero on the first failed check. The OpenCV builds are cached outside
# the clone (ZEQ_CACHE, default /var/cache/zeqtracker), so only the first run is
# long. Environment: ZEQ_CACHE, ZEQ_JOBS (default 2), ZEQ_BUILD_DIR (the
# development build used for the host tests, default build).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
# shellcheck source=scripts/lib-packages.sh
. scripts/lib-packages.sh

export ZEQ_CACHE="${ZEQ_CACHE:-/var/cache/zeqtracker}"
export ZEQ_JOBS="${ZEQ_JOBS:-2}"
work="$repo/build-package"
dist="$repo/dist"
dev_build="${ZEQ_BUILD_DIR:-build}"
package_name=com.zeqtracker.facetracker
frame_count=100
started=$(date +%s)

step() { echo "== $* ($(( $(date +%s) - started )) s)"; }
fail() { echo "package.sh: FAILED: $*" >&2; exit 1; }
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# Names of the exports, from the linker's export list.
exports_list() {
  sed -n '/global:/,/local:/p' src/plugin/exports.map | grep -oE '^[[:space:]]+[A-Za-z_][A-Za-z0-9_]*;' | tr -d ' ;' | sort
}

plugin_build() {  # <build dir> <OpenCV_DIR> [extra cmake args...]
  local dir="$1" opencv="$2"
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZEQ_WERROR=ON -DZEQ_PLUGIN_ONLY=ON -DOpenCV_DIR="$opencv" \
        ${launcher[@]+"${launcher[@]}"} "$@" >"$dir.log" 2>&1 || { tail -30 "$dir.log"; fail "configuring $dir"; }
  cmake --build "$dir" -j"$ZEQ_JOBS" --target zeqtracker >>"$dir.log" 2>&1 || { tail -30 "$dir.log"; fail "building $dir"; }
}

if [ "$(uname -s)" = Darwin ]; then
  # macOS: a universal bundle against a universal static OpenCV (the source
  # package is taken from ZEQ_CACHE/src, fetched on a Debian machine).
  step "OpenCV for macOS (x86_64 + arm64)"
  opencv=$(scripts/build-opencv.sh macos-universal | tail -1)
  step "plug-in for macOS"
  mkdir -p "$work"
  plugin_build "$work/macos" "$opencv/lib/cmake/opencv4" \
               "-DCMAKE_OSX_ARCHITECTURES=x86_64;arm64" -DCMAKE_OSX_DEPLOYMENT_TARGET=10.15
  mkdir -p "$dist/macos-universal"
  rm -rf "$dist/macos-universal/zeqtracker.bundle"
  cp -R "$work/macos/plugin/zeqtracker.bundle" "$dist/macos-universal/"
  lipo -info "$dist/macos-universal/zeqtracker.bundle/Contents/MacOS/zeqtracker"
  otool -L "$dist/macos-universal/zeqtracker.bundle/Contents/MacOS/zeqtracker"
  echo "Copy dist/macos-universal/zeqtracker.bundle to unity/Runtime/Plugins/macOS/ before packing on Linux."
  exit 0
fi

step "Debian packages"
zeq_install_packages build-essential cmake pkg-config dpkg-dev python3 zlib1g-dev libopencv-dev libeigen3-dev \
  opencv-data libgtest-dev libgmock-dev mono-mcs mono-runtime g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64

step "static OpenCV for Linux"
opencv_linux=$(scripts/build-opencv.sh linux-x86_64 | tail -1)
step "static OpenCV for Windows"
opencv_windows=$(scripts/build-opencv.sh windows-x86_64 | tail -1)

mkdir -p "$work"
step "plug-in for Linux"
plugin_build "$work/linux" "$opencv_linux/lib/cmake/opencv4" -DZEQ_STATIC_RUNTIME=ON
step "plug-in for Windows"
plugin_build "$work/windows" "$opencv_windows/lib/cmake/opencv4" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
             -DEigen3_DIR=/usr/share/eigen3/cmake

step "host programs and the development build's tests"
for host in linux windows; do
  args=()
  [ $host = windows ] && args=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake")
  cmake -S tests/windows -B "$work/host-$host" -DCMAKE_BUILD_TYPE=Release ${launcher[@]+"${launcher[@]}"} ${args[@]+"${args[@]}"} \
        >"$work/host-$host.log" 2>&1 && cmake --build "$work/host-$host" -j"$ZEQ_JOBS" >>"$work/host-$host.log" 2>&1 \
    || { tail -30 "$work/host-$host.log"; fail "building the $host host program"; }
done
cmake -S . -B "$dev_build" -DCMAKE_BUILD_TYPE=Release -DZEQ_WERROR=ON ${launcher[@]+"${launcher[@]}"} >"$work/dev.log" 2>&1 \
  && cmake --build "$dev_build" -j"$ZEQ_JOBS" --target plugin_host_test zeq_mono_fixtures zeq_mono_test >>"$work/dev.log" 2>&1 \
  || { tail -30 "$work/dev.log"; fail "building the host tests in $dev_build"; }

step "staging the package"
rm -rf "$dist" "$work/stage"
mkdir -p "$dist/linux-x86_64" "$dist/windows-x86_64"
cp "$work/linux/plugin/libzeqtracker.so" "$dist/linux-x86_64/"
strip --strip-unneeded "$dist/linux-x86_64/libzeqtracker.so"
cp "$work/windows/plugin/zeqtracker.dll" "$dist/windows-x86_64/"
x86_64-w64-mingw32-strip --strip-unneeded "$dist/windows-x86_64/zeqtracker.dll"
# The build products also go into the checkout's unity/ (ignored by git), so
# that the folder itself can be added to a project from disk.
runtime="$repo/unity/Runtime"
cp "$dist/linux-x86_64/libzeqtracker.so" "$runtime/Plugins/Linux/x86_64/"
cp "$dist/windows-x86_64/zeqtracker.dll" "$runtime/Plugins/Windows/x86_64/"
cp models/zeqTracker.model "$runtime/Models/zeqTracker.bytes"
cp models/face.xml "$runtime/Models/face.xml"
stage="$work/stage/$package_name"
mkdir -p "$stage"
cp -a unity/. "$stage/"
# No macOS bundle unless one was built on a Mac and copied in: then no .meta either.
[ -e "$stage/Runtime/Plugins/macOS/zeqtracker.bundle" ] || rm -f "$stage/Runtime/Plugins/macOS/zeqtracker.bundle.meta"
version=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["version"])' unity/package.json)
tarball="$dist/$package_name-$version.tgz"
python3 scripts/unity-package.py pack "$stage" "$tarball"

step "package checks"
python3 scripts/unity-package.py check unity || fail "the package layout of unity/"
python3 scripts/unity-package.py check "$tarball" || fail "the layout of $tarball"
unpacked="$work/unpacked"
rm -rf "$unpacked" && mkdir -p "$unpacked" && tar -xzf "$tarball" -C "$unpacked"
stand_ins="tests/mono/UnityStandIns.cs"
[ -f "$stand_ins" ] || fail "$stand_ins is missing"
mapfile -t runtime_sources < <(find "$unpacked/package/Runtime" -name '*.cs' | sort)
mapfile -t sample_sources < <(find "$unpacked/package/Samples~" -name '*.cs' | sort)
# As the editor and as a player compile them.
for defines in "-define:UNITY_5_3_OR_NEWER -define:UNITY_2018_1_OR_NEWER -define:UNITY_EDITOR" \
               "-define:UNITY_5_3_OR_NEWER -define:UNITY_2018_1_OR_NEWER"; do
  # shellcheck disable=SC2086
  mcs -nologo -warnaserror -unsafe -target:library $defines -out:"$work/package-compile.dll" \
      "${runtime_sources[@]}" "${sample_sources[@]}" "$stand_ins" || fail "compiling the packaged binding and sample ($defines)"
done
echo "packaged binding and sample compile with mcs against the Unity stand-ins"

step "Linux: ldd and exports of the packaged library"
so="$dist/linux-x86_64/libzeqtracker.so"
ldd "$so" | tee "$work/ldd.txt"
unexpected=$(awk '{print $1}' "$work/ldd.txt" | grep -vxE 'linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|/lib64/ld-linux-x86-64\.so\.2|ld-linux-x86-64\.so\.2|libz\.so\.1' || true)
[ -z "$unexpected" ] || fail "libzeqtracker.so needs more than the C library family and zlib: $unexpected"
diff <(exports_list) <(nm -D --defined-only "$so" | awk '{print $3}' | sort) || fail "the exports of libzeqtracker.so"

step "Windows: imports and exports of the packaged DLL"
dll="$dist/windows-x86_64/zeqtracker.dll"
x86_64-w64-mingw32-objdump -p "$dll" >"$work/objdump.txt"
imports=$(grep -E '^[[:space:]]*DLL Name:' "$work/objdump.txt" | awk '{print $3}' | sort -u)
echo "imports: $(echo $imports)"
unexpected=$(echo "$imports" | grep -viE '^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|msvcrt|shell32|shlwapi|comdlg32|comctl32|ws2_32|winmm|bcrypt|ntdll|setupapi|mf|mfplat|mfreadwrite|mfuuid|api-ms-win-[a-z0-9-]+)\.dll$' || true)
[ -z "$unexpected" ] || fail "zeqtracker.dll imports non-system DLLs: $unexpected"
# The export name table lists "[ordinal] name" rows.
dll_exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$work/objdump.txt" | tail -n +2 \
              | grep -oE '\] [A-Za-z_][A-Za-z0-9_@]*$' | cut -c3- | sort)
diff <(exports_list) <(echo "$dll_exports") || fail "the exports of zeqtracker.dll (undecorated, exactly the export list)"

step "Linux: host tests against the packaged library"
ZEQ_PLUGIN_PATH="$so" "$dev_build/tests/plugin_host_test" --gtest_brief=1 || fail "plugin_host_test on $so"
fixtures="$work/mono-fixtures"
"$dev_build/tests/mono/zeq_mono_fixtures" "$fixtures" tests/data/takeo.png >/dev/null || fail "the Mono fixtures"
for scenario in "" --domain-unload; do
  # shellcheck disable=SC2086
  LD_LIBRARY_PATH="$dist/linux-x86_64" mono --debug "$dev_build/tests/mono/ZeqTrackerTest.exe" $scenario "$fixtures" \
    || fail "the Mono binding test $scenario on $so"
done

step "the first $frame_count frames of the sample, on Linux and on Windows under Wine"
frames="$work/frames.rgba"
model="$stage/Runtime/Models/zeqTracker.bytes"
cascade="$stage/Runtime/Models/face.xml"
"$work/host-linux/zeq_decode_frames" samples/address.mp4 "$frame_count" "$frames" || fail "decoding the sample"
"$work/host-linux/zeq_host" "$so" "$model" "$cascade" "$frames" "$work/points-linux.txt" || fail "the Linux host"
mapfile -t runtime_sources < <(find "$stage/Runtime" -name '*.cs' | sort)
mcs -nologo -warnaserror -unsafe -out:"$work/PackagedModelTest.exe" "${runtime_sources[@]}" \
    tests/windows/PackagedModelTest.cs || fail "compiling the packaged-model test"
LD_LIBRARY_PATH="$dist/linux-x86_64" mono --debug "$work/PackagedModelTest.exe" "$stage" "$frames" \
  "$work/points-linux.txt" || fail "the packaged model through the C# binding"
export WINEPREFIX="$ZEQ_CACHE/wine" WINEDEBUG=-all WINEARCH=win64
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || fail "wineboot did not create $WINEPREFIX"
fi
run="$work/wine-run"
rm -rf "$run" && mkdir -p "$run"
cp "$dll" "$work/host-windows/zeq_host.exe" "$run/"
(cd "$run" && "$wine" zeq_host.exe zeqtracker.dll "Z:$model" "Z:$cascade" "Z:$frames" "Z:$work/points-windows.txt" \
   "Z:$work/points-linux.txt") || fail "the Windows host under Wine"

step "done"
ls -l "$so" "$dll" "$tarball"
echo "package.sh: all checks passed in $(( $(date +%s) - started )) s"
