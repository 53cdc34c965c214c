#!/usr/bin/env bash
# Runs the whole test suite on a fresh Debian 12 machine: installs what is
# missing, then builds and tests these ways:
#   system    against the system FFmpeg (5.1),
#   sanitize  the same with AddressSanitizer, UndefinedBehaviorSanitizer and
#             leak checks,
#   ffmpeg4   against FFmpeg 4.3, downloaded into the build tree (nothing
#             installed), the Python package included,
#   ffmpeg7   against FFmpeg 7.1, likewise (built without compiler warnings),
#   install   the system build installed into a fresh prefix and used by C
#             programs through pkg-config, the CMake package and -lkorvel,
#   python    the Python package against the library of the system build,
#   wheel     the wheel, built with korvel's own FFmpeg, installed into a
#             virtual environment, where the whole Python suite runs against
#             it, and into a minimal Debian root without FFmpeg, where every
#             operation must give the host's results,
#   fuzz      the fuzz target (clang, ASan, UBSan): the stored crash inputs
#             replayed, then a few minutes of fuzzing from the seed corpus
#             (KORVEL_FUZZ_SECONDS).
# Usage: scripts/test.sh [system|sanitize|ffmpeg4|ffmpeg7|install|python|wheel|fuzz]...   (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(system sanitize ffmpeg4 ffmpeg7 install python wheel fuzz)

bash scripts/setup-debian.sh

build() {  # build dir, cmake arguments...   (the compiler's output: DIR/build.log)
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" > "$dir/build.log" 2>&1 || { cat "$dir/build.log" >&2; return 1; }
}

build_and_test() {  # name, build dir, cmake arguments...
  local name=$1 dir=$2; shift 2
  echo "=== $name ==="
  build "$dir" "$@"
  # shellcheck disable=SC2086
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600 ${KORVEL_CTEST_EXCLUDE:+-E "$KORVEL_CTEST_EXCLUDE"})
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
      # The Python package too (the wheel has a stage of its own).
      LD_LIBRARY_PATH="$libdir" bash scripts/test-python.sh build-ff4 \
        --ignore="$root/python/tests/test_wheel.py" ;;
    ffmpeg7)
      # Debian 13's FFmpeg 7.1 needs Debian 13's C library and C++ runtime,
      # so every program built here runs through the loader unpacked beside
      # it (see scripts/fetch-ffmpeg7.sh); the library finds that runtime too,
      # for C programs that do not load the C++ runtime themselves.
      prefix="$root/build-ffmpeg7/prefix"
      bash scripts/fetch-ffmpeg7.sh "$prefix"
      # shellcheck source=/dev/null
      source "$prefix/env.sh"
      # The allocation-failure test's list of FFmpeg's own faulty error paths
      # is kept for the 5.1 and 4.3 libraries; 7.1's differ (its transform
      # set-up leaks when an allocation fails), so the test is left out here.
      KORVEL_CTEST_EXCLUDE=AllocationFailure \
      PKG_CONFIG_PATH="$FF7_PCDIR" build_and_test "FFmpeg 7.1" build-ff7 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "-DCMAKE_EXE_LINKER_FLAGS=$FF7_EXE_FLAGS" \
        "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-rpath,$FF7_RTDIR:$FF7_LIBDIR"
      if grep -E "^$root/(src|tools|include)/.*warning:" build-ff7/build.log; then
        echo "FFmpeg 7.1: the library or the tool builds with warnings" >&2; exit 1
      fi ;;
    install)
      echo "=== install ==="
      build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
      bash tests/install/check.sh build ;;
    python)
      bash scripts/test-python.sh build --ignore="$root/python/tests/test_wheel.py" ;;
    wheel)
      bash scripts/test-wheel.sh ;;
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
