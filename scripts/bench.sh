#!/usr/bin/env bash
# Benchmarks korvel against the ffmpeg CLI (whole processes) and PyAV (in
# process, in memory), with ratios from alternating runs, and peak RSS.
# Makes its inputs with the ffmpeg CLI once, in its own cache folder.
# Usage: scripts/bench.sh [BUILD_DIR] [--runs N] [--only process|inprocess|rss]
# Environment: KORVEL_BENCH_CACHE (default out/bench-cache).
# Needs the ffmpeg CLI and Debian's python3-av; the machine should be quiet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
[ $# -gt 0 ] && shift
cache=${KORVEL_BENCH_CACHE:-$root/out/bench-cache}
[ -x "$build/korvel" ] && [ -f "$build/libkorvel.so" ] || {
  echo "bench: build korvel first (no $build/korvel or $build/libkorvel.so)" >&2; exit 2; }
/usr/bin/python3 -c 'import av' 2>/dev/null || {
  echo "bench: PyAV missing (apt-get install python3-av)" >&2; exit 2; }
KORVEL_LIBRARY="$build/libkorvel.so" PYTHONPATH="$root/python" \
  exec /usr/bin/python3 "$root/scripts/bench.py" "$build" "$cache" "$@"
