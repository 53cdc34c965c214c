#!/usr/bin/env bash
# Runs the Python package's tests against the libkorvel.so of a CMake build,
# the wheel test included: it builds the wheel from that build with
# scripts/build-wheel.sh and installs it into a fresh virtual environment.
# Usage: scripts/test-python.sh [BUILD_DIR] [pytest arguments...]
# For a build against another FFmpeg, set LD_LIBRARY_PATH to its libraries;
# the wheel then bundles that FFmpeg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
[ $# -gt 0 ] && shift
echo "=== Python package against $build/libkorvel.so ==="
KORVEL_LIBRARY="$build/libkorvel.so" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  "$root/python/tests" "$@"
