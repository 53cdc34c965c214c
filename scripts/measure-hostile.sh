#!/usr/bin/env bash
# Time and peak memory of every operation on the hostile inputs, one process
# per call through the command-line tool, against the same tool failing on a
# four-byte non-media file (the process's baseline: libraries loaded, nothing
# decoded).
# Usage: scripts/measure-hostile.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tool="$build/korvel"
inputs="$build/fixtures/hostile"
python3 "$root/scripts/make-hostile-inputs.py" "$inputs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'junk' > "$work/junk"

# name and arguments of each call; IN and OUT are replaced.
calls=(
  "info IN"
  "convert IN OUT --format matroska"
  "trim IN OUT --start 0.1 --end 0.5"
  "mute IN OUT"
  "strip-metadata IN OUT"
  "set-metadata IN OUT title x"
  "speed IN OUT --factor 2"
  "merge IN IN OUT"
  "extract-audio IN OUT --format mp3"
  "volume IN OUT --factor 0.5"
  "reencode IN OUT --preset ultrafast"
  "rotate IN OUT --degrees 90"
  "reverse IN OUT"
  "gif IN OUT"
  "frame IN OUT --format png"
)

measure() {  # input, call -> "seconds peak_kib exit"
  local args=${2//IN/$1}
  args=${args//OUT/$work/out}
  # shellcheck disable=SC2086  # the arguments are meant to split
  /usr/bin/time -f '%e %M %x' -o "$work/time" nice -n 10 "$tool" $args >/dev/null 2>&1 || true
  tail -n 1 "$work/time"
}

# The baseline: the median of five runs.
for _ in 1 2 3 4 5; do measure "$work/junk" "info IN"; done | sort -n > "$work/base"
read -r base_seconds base _ < <(sed -n 3p "$work/base")
echo "baseline: $base_seconds s, peak RSS $((base / 1024)) MiB (exit 1 = null result)"
printf '%-20s %-34s %8s %10s %12s %s\n' input operation seconds 's>base' 'MiB>base' exit
for input in "$inputs"/*; do
  for call in "${calls[@]}"; do
    read -r seconds peak code < <(measure "$input" "$call")
    printf '%-20s %-34s %8s %10s %12s %s\n' "$(basename "$input")" "$call" "$seconds" \
      "$(awk "BEGIN { print $seconds - $base_seconds }")" "$(( (peak - base) / 1024 ))" "$code"
  done
done
