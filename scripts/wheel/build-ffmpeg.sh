#!/usr/bin/env bash
# Builds korvel's own FFmpeg for the wheel: the source of the FFmpeg the
# system runs (Debian's source package, fetched with a private apt set-up, so
# nothing on the system changes), configured with --disable-everything plus
# the components of ffmpeg-components.txt, shared libraries only.
#
# Usage: build-ffmpeg.sh      prints the install prefix (lib/, include/,
#                             lib/pkgconfig/) on its last line
# The result is cached in ${KORVEL_CACHE:-~/.cache/korvel}/ffmpeg-VERSION-HASH,
# HASH covering the source version and the configuration, so a machine builds each
# configuration once. Needs dpkg-dev (dpkg-source), nasm and the -dev
# packages of x264, LAME, Vorbis, dav1d and zlib.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=$here/ffmpeg-components.txt
log() { echo "[build-ffmpeg] $*" >&2; }
die() { echo "[build-ffmpeg] error: $*" >&2; exit 1; }

# The source version is the system FFmpeg's, e.g. 7:5.1.9-0+deb12u1.
version=$(dpkg-query -W -f='${Version}' libavformat-dev 2>/dev/null || true)
[[ -n $version ]] || die "libavformat-dev is not installed; its version picks the source"
upstream=${version#*:}; upstream=${upstream%%-*}

# configure's arguments: the fixed frame, then one --enable per list entry.
args=(
  --enable-shared --disable-static --enable-pic
  --disable-everything --disable-autodetect
  --disable-programs --disable-doc --disable-network --disable-devices
  --disable-hwaccels --disable-avfilter --disable-avdevice --disable-postproc
  --disable-debug --enable-swscale --enable-swresample
)
while read -r kind names; do
  [[ -z $kind || $kind == \#* ]] && continue
  for name in $names; do
    if [[ $kind == enable ]]; then args+=("--enable-$name"); else args+=("--enable-$kind=$name"); fi
  done
done < "$list"

# The cache key: the source version and the configuration (bump the recipe
# number when the build steps below change what is installed).
recipe=1
key=$(printf '%s\n' "$recipe" "$version" "${args[@]}" | sha256sum | cut -c1-12)
cache=${KORVEL_CACHE:-$HOME/.cache/korvel}
prefix=$cache/ffmpeg-$upstream-$key
if [[ -f $prefix/.complete ]]; then
  log "cached: $prefix"
  echo "$prefix"
  exit 0
fi
mkdir -p "$cache"
rm -rf "$prefix" "$prefix.work"
work=$prefix.work
mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$work/src"
trap 'rm -rf "$work"' EXIT
start=$SECONDS

# A private apt: deb-src lines for the system's own suites, private state
# and cache, an empty dpkg status; the system's sources stay untouched.
read -r archive security < <(bash "$here/debian-archive.sh")
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""; [[ -f $keyring ]] && signed="[signed-by=$keyring] "
cat > "$work/sources.list" <<LIST
deb-src ${signed}$archive $codename main
deb-src ${signed}$archive $codename-updates main
deb-src ${signed}$security $codename-security main
LIST
: > "$work/status"
apt_opts=(
  -o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State=$work/state" -o "Dir::State::status=$work/status"
  -o "Dir::Cache=$work/cache" -o "Acquire::Languages=none"
  -o "APT::Update::Post-Invoke-Success::=" -o "APT::Sandbox::User=root"
)
log "fetching the source of ffmpeg $version from $archive"
apt-get -q "${apt_opts[@]}" update > "$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; die "apt-get update failed"; }
(cd "$work/src" && apt-get -q "${apt_opts[@]}" source "ffmpeg=$version" >> "$work/apt.log" 2>&1) ||
  { cat "$work/apt.log" >&2; die "apt-get source ffmpeg=$version failed"; }
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*' | head -n 1)
[[ -x $src/configure ]] || die "no FFmpeg source tree in $work/src"

log "configuring (${#args[@]} arguments)"
mkdir -p "$work/build"
(cd "$work/build" && "$src/configure" --prefix="$prefix" "${args[@]}" > "$work/configure.log" 2>&1) ||
  { tail -n 30 "$work/build/ffbuild/config.log" >&2 || true; die "configure failed"; }
# A name configure does not know is a mistake in the list, not a detail.
! grep -i 'did not match anything' "$work/configure.log" >&2 || die "unknown component names in $list"
log "building (a few minutes)"
(cd "$work/build" && nice -n 10 make -j"${KORVEL_JOBS:-2}" > "$work/make.log" 2>&1 && make install > "$work/install.log" 2>&1) ||
  { tail -n 40 "$work/make.log" >&2; die "make failed"; }
# The licence texts of the source travel with the build (the wheel ships them).
mkdir -p "$prefix/share/licenses"
cp "$src"/COPYING.* "$src/LICENSE.md" "$prefix/share/licenses/"
printf '%s\n' "ffmpeg $version" "${args[@]}" > "$prefix/.complete"
log "built in $((SECONDS - start)) s: $prefix"
echo "$prefix"
