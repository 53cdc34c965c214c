#!/usr/bin/env bash
# Builds the self-contained wheel of the Python package:
#   1. korvel's own FFmpeg, trimmed to what the operations need
#      (scripts/wheel/build-ffmpeg.sh, cached per machine);
#   2. libkorvel and the korvel command-line tool against it, in a build
#      folder of this script's (build-wheel/ unless KORVEL_WHEEL_BUILD says);
#   3. the package: korvel/ (Python code, _lib/libkorvel.so, _lib/korvel),
#      korvel.libs/ (the libraries they load, under unique names), the
#      licences, and a `korvel` command;
#   4. the platform tag, from what the files need of the system.
# Usage: build-wheel.sh OUT_DIR      (prints the wheel's path last)
# The platform steps live in scripts/wheel/<platform>.sh; only x86-64 Linux
# exists so far.
set -euo pipefail
python=${PYTHON:-/usr/bin/python3}   # Debian's carries python3-wheel
[ $# -eq 1 ] || { echo "usage: $0 OUT_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
build=${KORVEL_WHEEL_BUILD:-$root/build-wheel}
die() { echo "build-wheel: error: $*" >&2; exit 1; }
command -v patchelf >/dev/null || die "patchelf is needed"

case "$(uname -s)-$(uname -m)" in
  Linux-x86_64) . "$root/scripts/wheel/linux.sh" ;;
  *) die "no wheel recipe for $(uname -s) $(uname -m) yet" ;;
esac

# The one version number: CMake's project(... VERSION x.y.z).
version=$(sed -n 's/^project(korvel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || die "no project(korvel VERSION ...) in CMakeLists.txt"

# 1. FFmpeg.
FFMPEG_PREFIX=$(bash "$root/scripts/wheel/build-ffmpeg.sh" | tail -n 1)
[ -f "$FFMPEG_PREFIX/lib/pkgconfig/libavformat.pc" ] || die "no FFmpeg in $FFMPEG_PREFIX"

# 2. korvel against it. The search path is passed on every configure, so a
# rebuilt FFmpeg (another cache key) replaces the old one.
flags=$(platform_link_flags)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=OFF \
  -DKORVEL_PKG_CONFIG_PATH="$FFMPEG_PREFIX/lib/pkgconfig" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
nice -n 10 cmake --build "$build" -j "${KORVEL_JOBS:-2}" --target korvel korvel_cli >/dev/null

# 3. The package.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
info=$stage/korvel-$version.dist-info
mkdir -p "$stage/korvel/_lib" "$info/licenses"
(cd "$root/python/korvel" && find . -name __pycache__ -prune -o -type f -print |
  while read -r f; do install -D -m 644 "$f" "$stage/korvel/$f"; done)
echo "__version__ = \"$version\"" > "$stage/korvel/_version.py"
install -m 755 "$(readlink -f "$build/libkorvel.so")" "$stage/korvel/_lib/libkorvel.so"
install -m 755 "$build/korvel" "$stage/korvel/_lib/korvel"
platform_bundle "$stage" "$info/licenses"

# Licences: korvel's and FFmpeg's (from its source); the platform step added
# those of the other bundled libraries.
cp "$root/LICENSE" "$info/licenses/LICENSE"
for f in "$FFMPEG_PREFIX"/share/licenses/*; do cp "$f" "$info/licenses/ffmpeg-$(basename "$f")"; done

tag=$(platform_tag "$stage")
cat > "$info/METADATA" <<META
Metadata-Version: 2.1
Name: korvel
Version: $version
Summary: Media-file operations over bytes in memory, with FFmpeg bundled
License: See LICENSE; the bundled FFmpeg build (with x264) is GPL-2.0-or-later
Requires-Python: >=3.8
Provides-Extra: batch
Requires-Dist: distributed; extra == "batch"
Requires-Dist: tqdm; extra == "batch"
$(cd "$info" && find licenses -type f | sort | sed 's/^/License-File: /')
META
cat > "$info/WHEEL" <<META
Wheel-Version: 1.0
Generator: korvel scripts/build-wheel.sh
Root-Is-Purelib: false
Tag: py3-none-$tag
META
cat > "$info/entry_points.txt" <<META
[console_scripts]
korvel = korvel.__main__:main
META

# wheel pack (Debian's python3-wheel) writes RECORD and names the file.
"$python" -m wheel pack "$stage" -d "$out" >&2
wheel=$out/korvel-$version-py3-none-$tag.whl
[ -f "$wheel" ] || die "wheel pack did not write $wheel"
echo "build-wheel: $(du -k "$wheel" | cut -f1) KiB, unpacked $(du -sk "$stage" | cut -f1) KiB" >&2
echo "$wheel"
