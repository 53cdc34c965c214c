#!/usr/bin/env bash
# Installs a build of korvel into a fresh prefix and uses it the three ways a
# C program can: through pkg-config, through the CMake package, and with plain
# -I/-L/-lkorvel. Each program copies a fixture into Matroska, which ffprobe
# then reads back. Also checks the installed files themselves and that the
# installed tool runs from its prefix, moved elsewhere too.
# Usage: tests/install/check.sh BUILD_DIR   (a built tree, fixtures included)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
fixture=$build/fixtures/h264_aac.mp4
[ -f "$fixture" ] || { echo "no fixture $fixture: build the tree first" >&2; exit 1; }
cc=${CC:-cc}

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# Nothing of the build tree or another FFmpeg may help the programs load.
unset LD_LIBRARY_PATH PKG_CONFIG_PATH

cmake --install "$build" --prefix "$prefix" > "$work/install.log" ||
  { cat "$work/install.log" >&2; exit 1; }

# --- The version, from the installed header.
macro() { sed -n "s/^#define KORVEL_VERSION_$1 \(.*\)$/\1/p" "$prefix/include/korvel_version.h"; }
major=$(macro MAJOR) minor=$(macro MINOR) patch=$(macro PATCH)
version=$(macro STRING | tr -d '"')
[[ $major =~ ^[0-9]+$ && $minor =~ ^[0-9]+$ && $patch =~ ^[0-9]+$ ]] ||
  { echo "FAIL: no version macros in $prefix/include/korvel_version.h" >&2; exit 1; }
[ "$version" = "$major.$minor.$patch" ] && pass "header version $version" ||
  fail "KORVEL_VERSION_STRING $version is not $major.$minor.$patch"
grep -q '#include "korvel_version.h"' "$prefix/include/korvel.h" && pass "korvel.h includes the version macros" ||
  fail "the installed korvel.h does not include korvel_version.h"

# --- The library: versioned file, SONAME, development link, run-time path.
lib=$prefix/lib
[ -f "$lib/libkorvel.so.$version" ] && [ ! -L "$lib/libkorvel.so.$version" ] ||
  fail "no file lib/libkorvel.so.$version"
[ "$(readlink "$lib/libkorvel.so.$major")" = "libkorvel.so.$version" ] ||
  fail "lib/libkorvel.so.$major does not link to libkorvel.so.$version"
[ "$(readlink "$lib/libkorvel.so")" = "libkorvel.so.$major" ] ||
  fail "the development link lib/libkorvel.so does not point to libkorvel.so.$major"
dynamic=$(readelf -d "$lib/libkorvel.so.$version")
grep -q "Library soname: \[libkorvel.so.$major\]" <<< "$dynamic" && pass "SONAME libkorvel.so.$major" ||
  fail "SONAME is not libkorvel.so.$major: $(grep soname <<< "$dynamic")"
# A search path in the installed library could only lead outside the prefix.
! grep -Eq '\((RUNPATH|RPATH)\)' <<< "$dynamic" && pass "the library has no run-time search path" ||
  fail "the installed library has a run-time search path: $(grep -E 'RUNPATH|RPATH' <<< "$dynamic")"

# --- Each way of building a program against the prefix.
check_output() { # label, program output file, stdout of the program
  local label=$1 out=$2 printed=$3 probed
  if [ "$printed" != "$version" ]; then fail "$label: the program printed '$printed', not $version"; return; fi
  probed=$(ffprobe -v error -show_entries format=format_name:stream=codec_name -of default=nw=1:nk=1 "$out" 2>&1 | sort | tr '\n' ' ')
  if [ "$probed" = "aac h264 matroska,webm " ]; then pass "$label: builds, runs, remuxes"; else
    fail "$label: ffprobe reads '$probed' from the output"; fi
}
run_consumer() { # label, program
  local out=$work/$1.mkv printed
  if printed=$("$2" "$fixture" "$out"); then check_output "$1" "$out" "$printed"; else fail "$1: the program failed"; fi
}

# pkg-config: the FFmpeg libraries are private requirements, not linked in.
export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion korvel)" = "$version" ] && pass "pkg-config version $version" ||
  fail "pkg-config --modversion korvel: $(pkg-config --modversion korvel 2>&1)"
[ "$(pkg-config --print-requires-private korvel | awk '{print $1}' | sort | tr '\n' ' ')" = \
  "libavcodec libavformat libavutil libswresample libswscale " ] ||
  fail "Requires.private: $(pkg-config --print-requires-private korvel | tr '\n' ' ')"
[ "$(pkg-config --libs korvel | xargs)" = "-L$lib -lkorvel" ] ||
  fail "pkg-config --libs korvel: $(pkg-config --libs korvel)"
# shellcheck disable=SC2046
if "$cc" -std=c99 -Wall -Werror -o "$work/by-pkg-config" "$here/consumer.c" \
    $(pkg-config --cflags --libs korvel) -Wl,-rpath,"$lib"; then
  run_consumer pkg-config "$work/by-pkg-config"
else fail "pkg-config: the program does not build"; fi
unset PKG_CONFIG_PATH

# The CMake package, and its version check: another major version is refused.
if cmake -S "$here" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
      -DKORVEL_WANTED="$major.$minor" > "$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake-consumer" >> "$work/cmake.log" 2>&1; then
  [ "$(cat "$work/cmake-consumer/korvel-version.txt")" = "$version" ] ||
    fail "CMake package version $(cat "$work/cmake-consumer/korvel-version.txt"), not $version"
  run_consumer "CMake package" "$work/cmake-consumer/consumer"
else cat "$work/cmake.log" >&2; fail "CMake package: the project does not configure or build"; fi
if cmake -S "$here" -B "$work/cmake-other-major" -DCMAKE_PREFIX_PATH="$prefix" \
    -DKORVEL_WANTED="$((major + 1)).0" > "$work/cmake-other.log" 2>&1; then
  fail "find_package(korvel $((major + 1)).0) accepted version $version"
else pass "find_package(korvel $((major + 1)).0) refuses $version"; fi

# Plain flags.
if "$cc" -std=c99 -Wall -Werror -o "$work/by-hand" "$here/consumer.c" \
    -I"$prefix/include" -L"$lib" -lkorvel -Wl,-rpath,"$lib"; then
  run_consumer "-lkorvel" "$work/by-hand"
else fail "-lkorvel: the program does not build"; fi

# --- The tool runs from its prefix, wherever that prefix is moved.
cp -a "$prefix" "$work/moved"
rm -rf "$prefix"
tool=$work/moved/bin/korvel
if "$tool" --help > /dev/null 2>&1 && "$tool" convert "$fixture" "$work/tool.mkv" --format matroska; then
  check_output "bin/korvel" "$work/tool.mkv" "$version"
  loaded=$(ldd "$tool" | awk '$1 == "libkorvel.so.'"$major"'" {print $3}')
  [ "$(readlink -f "$loaded")" = "$work/moved/lib/libkorvel.so.$version" ] ||
    fail "bin/korvel loads libkorvel from '$loaded'"
else fail "bin/korvel does not run from a moved prefix"; fi

if [ "$failures" -gt 0 ]; then echo "$failures install check(s) failed" >&2; exit 1; fi
echo "install checks passed (korvel $version)"
