#!/usr/bin/env bash
# The wheel as users get it: builds it (scripts/build-wheel.sh), makes a
# minimal Debian root without FFmpeg (scripts/wheel/debian-root.sh), installs
# the wheel into a virtual environment on the host and runs the whole Python
# suite against that installation; the wheel tests also install it inside
# the root and compare every operation's results with the host's.
# Last, `pip install .` from the checkout must give a working package too.
# Both the FFmpeg build and the root are cached (~/.cache/korvel or
# $KORVEL_CACHE). Needs root for debootstrap and chroot.
# Usage: scripts/test-wheel.sh [pytest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$SECONDS
out=$root/build-wheel/dist
rm -rf "$out"
wheel=$(bash "$root/scripts/build-wheel.sh" "$out" | tail -n 1)
echo "=== wheel: $wheel ($((SECONDS - start)) s) ==="
debian_root=$(bash "$root/scripts/wheel/debian-root.sh" | tail -n 1)

venv=$root/build-wheel/venv
rm -rf "$venv"
# System site packages for pytest; korvel itself comes from the wheel.
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-index --no-deps "$wheel"
# The batch tests start dask-worker commands of the system's Python, which
# cannot import the venv's korvel; they run in the python and ffmpeg4 stages.
echo "=== Python suite against the installed wheel ==="
(cd "$root/build-wheel" && env -u KORVEL_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
  KORVEL_TEST_INSTALLED=1 KORVEL_WHEEL="$wheel" KORVEL_DEBIAN_ROOT="$debian_root" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests" \
  --ignore="$root/python/tests/test_batch.py" "$@")

# A user's other road: `pip install .` from the checkout, against the
# system's FFmpeg; the library, the command and `python -m korvel` must agree.
echo "=== pip install --no-build-isolation . ==="
from_source=$root/build-wheel/venv-source
rm -rf "$from_source"
/usr/bin/python3 -m venv --system-site-packages "$from_source"
(cd "$root" && nice -n 10 "$from_source/bin/pip" install -q --no-build-isolation --no-index .)
clip=$root/build-wheel/clip.mp4
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 \
  -c:v libx264 -preset ultrafast "$clip"
by_library=$(cd / && "$from_source/bin/python" -c \
  "import json, sys, korvel; print(json.dumps(korvel.info(open(sys.argv[1], 'rb').read()), sort_keys=True))" "$clip")
by_command=$("$from_source/bin/korvel" info "$clip" | "$from_source/bin/python" -c \
  "import json, sys; print(json.dumps(json.load(sys.stdin), sort_keys=True))")
by_module=$(cd / && "$from_source/bin/python" -m korvel info "$clip" | "$from_source/bin/python" -c \
  "import json, sys; print(json.dumps(json.load(sys.stdin), sort_keys=True))")
[ "$by_library" = "$by_command" ] && [ "$by_command" = "$by_module" ] || {
  printf 'library: %s\ncommand: %s\nmodule:  %s\n' "$by_library" "$by_command" "$by_module" >&2
  echo "pip install . gives a package whose library, command and module disagree" >&2; exit 1; }
grep -q '"width": 320' <<< "$by_library" || { echo "unexpected report: $by_library" >&2; exit 1; }
echo "installed from source: $by_library"
echo "=== wheel stage done in $((SECONDS - start)) s ==="
