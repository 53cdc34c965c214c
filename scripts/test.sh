#!/usr/bin/env bash
# Runs the whole test suite on a fresh Debian 12 machine: installs what is
# missing, then builds and tests three ways:
#   1. against the system FFmpeg (5.1),
#   2. the same with AddressSanitizer, UndefinedBehaviorSanitizer and leak checks,
#   3. against FFmpeg 4.3, downloaded into the build tree (nothing installed),
#   4. the Python package, its wheel installed into a fresh virtual environment,
#   5. the fuzz target (clang, ASan, UBSan): the stored crash inputs replayed,
#      then a few minutes of fuzzing from the seed corpus (KORVEL_FUZZ_SECONDS).
# Usage: scripts/test.sh [system|sanitize|ffmpeg4|python|fuzz]...   (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(system sanitize ffmpeg4 python fuzz)

bash scripts/setup-debian.sh

build_and_test() {  # name, build dir, cmake arguments...
  local name=$1 dir=$2; shift 2
  echo "=== $name ==="
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

for stage in "${stages[@]}"; do
  case "$stage" in
    system)
      build_and_test "system FFmpeg" build -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    sanitize)
      # verify_asan_link_order: the C-header test links a plain C program to
      # the instrumented library. The suppressions cover FFmpeg's own code only.
      ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0" \
      LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        build_and_test "sanitizers" build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON ;;
    ffmpeg4)
      prefix="$root/build-ffmpeg4/prefix"
      bash scripts/fetch-ffmpeg4.sh "$prefix"
      libdir=$(dirname "$(find "$prefix/usr/lib" -name 'libavformat.so.58' | head -n 1)")
      PKG_CONFIG_PATH="$libdir/pkgconfig" LD_LIBRARY_PATH="$libdir" \
        build_and_test "FFmpeg 4.3" build-ff4 -DCMAKE_BUILD_TYPE=RelWithDebInfo
      # The Python package too; its wheel then bundles FFmpeg 4.3.
      LD_LIBRARY_PATH="$libdir" bash scripts/test-python.sh build-ff4 ;;
    python)
      bash scripts/test-python.sh build ;;
    fuzz)
      echo "=== fuzzing ==="
      CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVEL_FUZZ=ON -DKORVEL_BUILD_TESTS=OFF >/dev/null
      cmake --build build-fuzz -j "$jobs" >/dev/null
      bash scripts/fuzz.sh replay build-fuzz/tests/fuzz/korvel_fuzz
      bash scripts/fuzz.sh run build-fuzz/tests/fuzz/korvel_fuzz "${KORVEL_FUZZ_SECONDS:-180}" ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
echo "=== all test stages passed: ${stages[*]} ==="
