#!/usr/bin/env bash
# Runs the libFuzzer target (build it with -DKORVEL_FUZZ=ON, see the README).
#   fuzz.sh replay FUZZER
#       runs every stored input that ever crashed it (tests/fuzz/crashes/);
#       fails if any of them still crashes, leaks or trips UBSan.
#   fuzz.sh run FUZZER SECONDS [LIBFUZZER OPTION...]
#       fuzzes for SECONDS from the seed corpus (made by the build next to the
#       target), the stored crashes and the inputs kept by earlier runs.
#       Default: one worker per core (-fork), stopping at the first finding.
#       New crashing inputs land in BUILD/fuzz-artifacts/.
#   fuzz.sh triage FUZZER FILE...
#       one line per input: the operation, the kind of finding, the first
#       FFmpeg frame and the first frame in korvel's code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:?mode: replay or run}
fuzzer=$(realpath "${2:?path of the korvel_fuzz binary}")
build=$(dirname "$fuzzer")
build=${build%/tests/fuzz}
crashes="$root/tests/fuzz/crashes"

# Leaks and UBSan reports are findings like crashes; crash stacks are unwound
# through FFmpeg's frames, which have no frame pointers. The suppressions name
# FFmpeg's own code only.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_fatal=0:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
limits=(-timeout=60 -rss_limit_mb=2048)

case "$mode" in
  replay)
    inputs=("$crashes"/*)
    [ -e "${inputs[0]}" ] || { echo "no stored crash inputs"; exit 0; }
    echo "replaying ${#inputs[@]} stored crash inputs"
    "$fuzzer" "${limits[@]}" "${inputs[@]}" ;;
  run)
    seconds=${3:?seconds}
    shift 3
    corpus="$build/fuzz-corpus"
    artifacts="$build/fuzz-artifacts"
    mkdir -p "$corpus" "$artifacts"
    [ -d "$build/fuzz-seeds" ] || { echo "no seeds in $build/fuzz-seeds: build the fuzz_seeds target" >&2; exit 2; }
    workers=$(nproc)
    [ "$workers" -le 2 ] || workers=2
    "$fuzzer" "${limits[@]}" -fork="$workers" -ignore_ooms=0 -ignore_timeouts=0 \
      -max_total_time="$seconds" -artifact_prefix="$artifacts/" -print_final_stats=1 \
      "$@" "$corpus" "$build/fuzz-seeds" "$crashes" ;;
  triage)
    shift 2
    ops=(get_video_info convert_format trim_video mute_video strip_metadata set_metadata
         change_speed merge_videos extract_audio adjust_volume reencode_video rotate_video
         reverse_video video_to_gif extract_frame)
    for input in "$@"; do
      log=$("$fuzzer" "${limits[@]}" "$input" 2>&1 || true)
      op=${ops[$(( $(od -An -tu1 -N1 "$input") % ${#ops[@]} ))]}
      kind=$(grep -m1 -oE 'ERROR: [A-Za-z]+: [A-Za-z -]+|runtime error: .*|out-of-memory|timeout' <<<"$log" || echo "clean")
      ffmpeg_frame=$(grep -m1 -oE 'in [a-z_0-9]+ \(/[^ ]*lib(av|sw)[a-z]+\.so[^ )]*|\(/[^ ]*lib(av|sw)[a-z]+\.so[^ )]*' <<<"$log" | sed 's|/[^ ]*/||' || true)
      korvel_frame=$(grep -m1 -oE '/src/[a-z_/]+\.(cpp|h):[0-9]+' <<<"$log" | sed 's|.*/src/|src/|' || true)
      printf '%s\t%s\t%s\t%s\t%s\n' "$(basename "$input")" "$op" "$kind" "${ffmpeg_frame:--}" "${korvel_frame:--}"
    done ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac
