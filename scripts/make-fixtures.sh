#!/usr/bin/env bash
# Makes the test inputs with the ffmpeg CLI from its synthetic sources.
# Usage: make-fixtures.sh OUTPUT_DIR LIST...
# Each list line is "name<TAB>ffmpeg arguments"; the container follows from the
# name's extension. An existing file is kept, so inputs are made once per
# build tree.
set -euo pipefail
out=$1; shift
mkdir -p "$out"
subtitles="$out/subtitles.srt"
if [ ! -s "$subtitles" ]; then
  printf '1\n00:00:00,000 --> 00:00:01,000\nhello\n\n2\n00:00:01,000 --> 00:00:02,000\nworld\n' > "$subtitles.tmp"
  mv "$subtitles.tmp" "$subtitles"
fi
for list in "$@"; do
  while IFS=$'\t' read -r name args; do
    case "$name" in ''|'#'*) continue ;; esac
    [ -s "$out/$name" ] && continue
    args=${args//@SUBTITLES@/$subtitles}
    tmp="$out/.tmp-$name"
    # The CLI is the system's, whatever library path the build tests with.
    # shellcheck disable=SC2086  # the arguments are meant to split
    env -u LD_LIBRARY_PATH ffmpeg -nostdin -hide_banner -loglevel error -y $args "$tmp"
    mv "$tmp" "$out/$name"
  done < "$list"
done
