#!/usr/bin/env bash
# Wall time, CPU time and peak memory (RSS) of reverse_video through the korvel tool,
# this checkout's build against the main branch's (the way that holds every
# decoded picture), on clips made here by the ffmpeg CLI. Prints the medians
# of each and their ratios (on a shared machine the CPU time, user + system,
# is the steadier measure), and checks that both give the same pictures
# (PSNR) with the same timestamps (ffprobe).
#
# Usage: bench-reverse.sh [--runs N] [--build DIR] [--base DIR] [--work DIR]
#                         [--clip WxH:SECONDS]... [--only-new]
#   --build    this checkout's build directory (default: build)
#   --base     build of main (default: made in WORK/main from `git archive main`)
#   --clip     a clip size and length; repeatable (default: 640x360:10
#              640x360:60 1920x1080:4)
#   --only-new skip main's build (for clips whose pictures do not fit memory)
# Run it at low priority on a shared machine: nice -n 19 bash scripts/bench-reverse.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
build="$root/build"
base=""
work="${TMPDIR:-/tmp}/korvel-bench-reverse"
clips=()
only_new=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --base) base=$(cd "$2" && pwd); shift 2 ;;
    --work) work=$2; shift 2 ;;
    --clip) clips+=("$2"); shift 2 ;;
    --only-new) only_new=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ ${#clips[@]} -gt 0 ] || clips=(640x360:10 640x360:60 1920x1080:4)
mkdir -p "$work"

if [ "$only_new" = 0 ] && [ -z "$base" ]; then
  base="$work/main/build"
  if [ ! -x "$base/korvel" ]; then
    rm -rf "$work/main" && mkdir -p "$work/main"
    git -C "$root" archive main | tar -x -C "$work/main"
    cmake -S "$work/main" -B "$base" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKORVEL_BUILD_TESTS=OFF >/dev/null
    cmake --build "$base" -j 2 --target korvel_cli >/dev/null
  fi
fi

# Wall seconds, CPU seconds and peak RSS in KiB of one reversal.
measure() {  # tool-build-dir input output
  local stats="$work/time.txt"
  LD_LIBRARY_PATH="$1" /usr/bin/time -f "%e %U %S %M" -o "$stats" \
    "$1/korvel" reverse "$2" "$3" 2>/dev/null
  awk '{print $1, $2 + $3, $4}' "$stats"
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

pts_list() {
  ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time \
    -of csv=p=0 "$1"
}

printf '%-16s %7s %7s %8s %7s %7s %8s %6s %6s %6s  %s\n' clip new_s new_cpu new_MiB \
  main_s main_cpu main_MiB wall× cpu× rss× same
for clip in "${clips[@]}"; do
  size=${clip%%:*}
  seconds=${clip##*:}
  in="$work/in-$size-$seconds.mp4"
  # x264's default key-frame spacing (250) with B-frames, made quickly.
  [ -s "$in" ] || ffmpeg -nostdin -v error -y -f lavfi \
    -i "testsrc2=size=$size:rate=30:duration=$seconds" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$in"

  new_t=(); new_c=(); new_m=(); base_t=(); base_c=(); base_m=()
  for _ in $(seq "$runs"); do
    read -r t c m < <(measure "$build" "$in" "$work/new.mp4")
    new_t+=("$t"); new_c+=("$c"); new_m+=("$m")
    if [ "$only_new" = 0 ]; then
      read -r t c m < <(measure "$base" "$in" "$work/base.mp4")
      base_t+=("$t"); base_c+=("$c"); base_m+=("$m")
    fi
  done
  nt=$(printf '%s\n' "${new_t[@]}" | median)
  nc=$(printf '%s\n' "${new_c[@]}" | median)
  nm=$(printf '%s\n' "${new_m[@]}" | median)
  if [ "$only_new" = 1 ]; then
    printf '%-16s %7.2f %7.2f %8.0f %7s %7s %8s %6s %6s %6s  %s\n' "$clip" "$nt" "$nc" \
      "$(echo "$nm/1024" | bc -l)" - - - - - - -
    continue
  fi
  bt=$(printf '%s\n' "${base_t[@]}" | median)
  bc_=$(printf '%s\n' "${base_c[@]}" | median)
  bm=$(printf '%s\n' "${base_m[@]}" | median)
  # Same pictures: PSNR of each against the other's (libx264 varies a little
  # between calls); same timestamps: identical lists.
  psnr=$(ffmpeg -nostdin -v info -i "$work/new.mp4" -i "$work/base.mp4" \
    -lavfi "[0:v][1:v]psnr" -f null - 2>&1 | sed -n 's/.*PSNR.*average:\([0-9.inf]*\).*/\1/p' | tail -n 1)
  if [ "$(pts_list "$work/new.mp4" | md5sum)" = "$(pts_list "$work/base.mp4" | md5sum)" ]; then
    same="pts equal, PSNR ${psnr} dB"
  else
    same="PTS DIFFER, PSNR ${psnr} dB"
  fi
  printf '%-16s %7.2f %7.2f %8.0f %7.2f %7.2f %8.0f %6.2f %6.2f %6.2f  %s\n' "$clip" "$nt" "$nc" \
    "$(echo "$nm/1024" | bc -l)" "$bt" "$bc_" "$(echo "$bm/1024" | bc -l)" "$(echo "$nt/$bt" | bc -l)" \
    "$(echo "$nc/$bc_" | bc -l)" "$(echo "$nm/$bm" | bc -l)" "$same"
done
