#!/usr/bin/env bash
# Builds the self-contained wheel of the Python package from a CMake build:
# korvel/ (the package), korvel/_lib/libkorvel.so, and korvel.libs/ with the
# FFmpeg shared objects and every non-system library they load. Each bundled
# library finds its own dependencies beside itself ($ORIGIN); the wheel's copy
# of libkorvel.so is given the RUNPATH $ORIGIN/../../korvel.libs, which is why
# it lies two folders below the site-packages root.
# Usage: build-wheel.sh BUILD_DIR OUT_DIR   (prints the wheel's path)
# The dependencies are resolved as the loader sees them now, so a build
# against another FFmpeg bundles that one when LD_LIBRARY_PATH points to it.
set -euo pipefail
# Debian's interpreter carries python3-wheel; another one may be chosen with PYTHON.
python=${PYTHON:-/usr/bin/python3}
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
library=$(cd "$1" && pwd)/libkorvel.so
mkdir -p "$2"
out=$(cd "$2" && pwd)
[ -f "$library" ] || { echo "build-wheel: no $library" >&2; exit 1; }
command -v patchelf >/dev/null || { echo "build-wheel: patchelf is needed" >&2; exit 1; }

version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$root/python/korvel/__init__.py")
platform=$("$python" -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
[ -n "$version" ] || { echo "build-wheel: no __version__ in python/korvel/__init__.py" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/korvel/_lib" "$stage/korvel.libs" "$stage/korvel-$version.dist-info"
(cd "$root/python/korvel" && find . -name __pycache__ -prune -o -type f -print |
  while read -r f; do install -D -m 644 "$f" "$stage/korvel/$f"; done)
install -m 755 "$library" "$stage/korvel/_lib/libkorvel.so"
patchelf --set-rpath '$ORIGIN/../../korvel.libs' "$stage/korvel/_lib/libkorvel.so"

# The C library, its loader and the C++ runtime belong to the system (a
# program that loads Python has them); everything else is bundled.
is_system() {
  case "$1" in
    linux-vdso.so.*|ld-linux*.so.*|libc.so.*|libm.so.*|libmvec.so.*|libdl.so.*|librt.so.*|\
    libpthread.so.*|libutil.so.*|libresolv.so.*|libnsl.so.*|libanl.so.*|\
    libstdc++.so.*|libgcc_s.so.*) return 0 ;;
  esac
  return 1
}

# ldd lists the whole closure, each library by the soname that asks for it.
unresolved=$(ldd "$library" | awk '/not found/ {print $1}')
if [ -n "$unresolved" ]; then
  echo "build-wheel: unresolved libraries: $unresolved" >&2
  exit 1
fi
count=0
while read -r soname path; do
  is_system "$soname" && continue
  install -m 755 "$(readlink -f "$path")" "$stage/korvel.libs/$soname"
  patchelf --set-rpath '$ORIGIN' "$stage/korvel.libs/$soname"
  count=$((count + 1))
done < <(ldd "$library" | awk '$2 == "=>" && $3 ~ /^\// {print $1, $3}')
echo "build-wheel: bundled $count libraries" >&2

cat > "$stage/korvel-$version.dist-info/METADATA" <<META
Metadata-Version: 2.1
Name: korvel
Version: $version
Summary: Media-file operations over bytes in memory, with FFmpeg bundled
Requires-Python: >=3.8
META
cat > "$stage/korvel-$version.dist-info/WHEEL" <<META
Wheel-Version: 1.0
Generator: korvel scripts/build-wheel.sh
Root-Is-Purelib: false
Tag: py3-none-$platform
META

# wheel pack (Debian's python3-wheel) writes RECORD and names the file.
"$python" -m wheel pack "$stage" -d "$out" >&2
echo "$out/korvel-$version-py3-none-$platform.whl"
