#!/usr/bin/env bash
# Runs the Python package's tests against the libkorvel.so of a CMake build.
# test_wheel.py builds the wheel (scripts/build-wheel.sh, with korvel's own
# FFmpeg whatever the build uses) and installs it into a fresh virtual
# environment; scripts/test-wheel.sh runs the whole suite against the wheel.
# Usage: scripts/test-python.sh [BUILD_DIR] [pytest arguments...]
# For a build against another FFmpeg, set LD_LIBRARY_PATH to its libraries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
[ $# -gt 0 ] && shift
echo "=== Python package against $build/libkorvel.so ==="
KORVEL_LIBRARY="$build/libkorvel.so" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  "$root/python/tests" "$@"
