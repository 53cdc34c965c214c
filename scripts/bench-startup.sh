#!/usr/bin/env bash
# Start-up cost of the installed package in a cold process: hyperfine times
# `python -c pass`, `python -c "import ctypes"` (the standard module
# the package cannot do without, its floor), `python -c "import korvel; korvel.info(clip)"`
# on a 5 s clip with the same interpreter, and the bundled tool's
# `korvel info` run directly, and prints how the import compares with the
# budget 2 x pass + 20 ms.
# Usage: scripts/bench-startup.sh VENV [RUNS]   (VENV has korvel installed)
set -euo pipefail
venv=$(cd "$1" && pwd)
runs=${2:-40}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x360:rate=25:duration=5 \
  -f lavfi -i sine=frequency=440:duration=5 -c:v libx264 -preset ultrafast -c:a aac \
  -shortest "$work/clip.mp4"
py=$venv/bin/python
info="import korvel; korvel.info(open('$work/clip.mp4', 'rb').read())"
nice -n 19 hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/times.json" \
  "$py -c pass" "$py -c 'import ctypes'" "$py -c \"$info\"" \
  "$("$py" -c 'import korvel.__main__ as m; print(m.tool_path())') info $work/clip.mp4" >&2
/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
# Wall-clock medians, and mean CPU time (user + system), which a machine
# busy with other work disturbs much less.
wall = [r["median"] * 1000 for r in results]
cpu = [(r["user"] + r["system"]) * 1000 for r in results]
for label, (bare, floor, imported, tool) in (("wall median", wall), ("CPU mean", cpu)):
    budget = 2 * bare + 20
    print(f"{label}: python -c pass {bare:.1f} ms; import ctypes {floor:.1f} ms; "
          f"import korvel + info {imported:.1f} ms ({imported / bare:.2f} x pass; budget "
          f"2 x pass + 20 ms = {budget:.1f} ms: {'within' if imported <= budget else 'OVER'}); "
          f"bundled tool's info {tool:.1f} ms")
PY
