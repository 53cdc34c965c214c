#!/usr/bin/env bash
# The wheel as users get it: builds it (scripts/build-wheel.sh), makes a
# minimal Debian root without FFmpeg (scripts/wheel/debian-root.sh), installs
# the wheel into a virtual environment on the host and runs the whole Python
# suite against that installation; the wheel tests also install it inside
# the root and compare every operation's results with the host's.
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
echo "=== Python suite against the installed wheel ==="
(cd "$root/build-wheel" && env -u KORVEL_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH \
  KORVEL_TEST_INSTALLED=1 KORVEL_WHEEL="$wheel" KORVEL_DEBIAN_ROOT="$debian_root" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests" "$@")
echo "=== wheel stage done in $((SECONDS - start)) s ==="
