#!/usr/bin/env bash
# The main job on a built-in sample: installs what is missing, builds korvel,
# makes a short sample clip, runs every operation through the command-line
# tool, writes the results into a folder and prints the info report of each.
# Usage: scripts/demo.sh [OUTPUT_DIR]   (default: out/demo)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=${1:-out/demo}

bash scripts/setup-debian.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target korvel_cli >/dev/null
korvel=build/korvel

mkdir -p "$out"
sample="$out/sample.mp4"
# Three seconds of a moving test picture with a 440 Hz tone: H.264 + AAC in MP4.
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i testsrc2=size=640x360:rate=25:duration=3 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=3 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k -ac 2 \
  -metadata title="korvel sample" "$sample"

step() {  # output file, verb and arguments...
  local result=$1; shift
  printf '%-32s korvel %s\n' "$(basename "$result")" "$*"
  "$korvel" "$@"
}

step "$out/converted.mkv"      convert "$sample" "$out/converted.mkv" --format matroska
step "$out/trimmed.mp4"        trim "$sample" "$out/trimmed.mp4" --start 1 --end 2.5
step "$out/muted.mp4"          mute "$sample" "$out/muted.mp4"
step "$out/stripped.mp4"       strip-metadata "$sample" "$out/stripped.mp4"
step "$out/titled.mp4"         set-metadata "$sample" "$out/titled.mp4" title "Demo title"
step "$out/fast.mp4"           speed "$sample" "$out/fast.mp4" --factor 2
step "$out/slow.mp4"           speed "$sample" "$out/slow.mp4" --factor 0.5
step "$out/joined.mp4"         merge "$sample" "$sample" "$out/joined.mp4"
step "$out/audio.mp3"          extract-audio "$sample" "$out/audio.mp3" --format mp3
step "$out/audio.aac"          extract-audio "$sample" "$out/audio.aac" --format aac
step "$out/audio.ogg"          extract-audio "$sample" "$out/audio.ogg" --format ogg
step "$out/audio.wav"          extract-audio "$sample" "$out/audio.wav" --format wav
step "$out/quieter.mp4"        volume "$sample" "$out/quieter.mp4" --factor 0.5
step "$out/louder.mp4"         volume "$sample" "$out/louder.mp4" --factor 2
step "$out/reencoded.mp4"      reencode "$sample" "$out/reencoded.mp4" --crf 28 --preset veryfast --width 320
step "$out/rotated.mp4"        rotate "$sample" "$out/rotated.mp4" --degrees 90
step "$out/reversed.mp4"       reverse "$sample" "$out/reversed.mp4"
step "$out/clip.gif"           gif "$sample" "$out/clip.gif" --fps 10 --width 240 --start 0.5 --duration 1.5
step "$out/still.jpg"          frame "$sample" "$out/still.jpg" --time 1
step "$out/still.png"          frame "$sample" "$out/still.png" --format png --time 1.5

echo
echo "Info reports (korvel info):"
for f in "$sample" $(ls "$out" | grep -v "^sample.mp4$" | sed "s|^|$out/|"); do
  case "$f" in *.mp4|*.mkv|*.mp3|*.aac|*.ogg|*.wav|*.gif)
    printf '%-20s ' "$(basename "$f")"
    "$korvel" info "$f" ;;
  *.jpg|*.png) printf '%-20s %s bytes\n' "$(basename "$f")" "$(stat -c %s "$f")" ;;
  esac
done
echo
echo "Results are in $out/"
