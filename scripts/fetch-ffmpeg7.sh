#!/usr/bin/env bash
# Fetch FFmpeg 7.1 (libavformat 61 / libavcodec 61 / libavutil 59 /
# libswresample 5 / libswscale 8, as shipped by Debian 13 "trixie") into a
# private prefix, without touching the system's apt or dpkg state.
#
# Usage: scripts/fetch-ffmpeg7.sh [PREFIX]     (default: <repo>/build-ffmpeg7/prefix)
#
# Debian 13's libraries need a newer C library (2.38+) and C++ runtime
# (GLIBCXX_3.4.32) than Debian 12 has, so the prefix holds two trees:
#   PREFIX/usr/...   FFmpeg 7.1, its headers and pkg-config files, and every
#                    library it loads that the system lacks or has only in an
#                    older version
#   PREFIX/runtime/  Debian 13's libc6, libstdc++6 and libgcc-s1, with their
#                    program loader
# Programs run against the prefix must be linked to use that loader and find
# both library folders first. PREFIX/env.sh sets, for `source`:
#   FF7_LIBDIR     FFmpeg 7.1 and its dependencies
#   FF7_PCDIR      its pkg-config folder
#   FF7_RTDIR      the C library and C++ runtime
#   FF7_LOADER     the program loader
#   FF7_EXE_FLAGS  linker flags for an executable run against the prefix:
#                  -Wl,--dynamic-linker=$FF7_LOADER, a run-time path (DT_RPATH,
#                  which also serves the libraries it loads) to both folders,
#                  and --allow-shlib-undefined (the system's C library, which
#                  the link sees, lacks the newer symbol versions)
# LD_LIBRARY_PATH must not point into the prefix: every program started from
# such an environment (sh, ctest, ffprobe) would load Debian 13's libraries
# under Debian 12's loader.
#
# A stamp file in PREFIX marks a complete run; later runs exit at once.
set -euo pipefail

log() { printf '[fetch-ffmpeg7] %s\n' "$*" >&2; }
die() { printf '[fetch-ffmpeg7] error: %s\n' "$*" >&2; exit 1; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PREFIX=${1:-$REPO_ROOT/build-ffmpeg7/prefix}
mkdir -p "$PREFIX"
PREFIX=$(cd "$PREFIX" && pwd -P)

MARKER=$PREFIX/.ffmpeg7-prefix
STAMP=$PREFIX/.ffmpeg7-complete

if [[ -f $STAMP ]]; then
    echo "FFmpeg 7 prefix: $PREFIX (libavformat $(head -n1 "$STAMP"), up to date)"
    exit 0
fi

# Only ever wipe a folder this script created.
if [[ -n $(ls -A "$PREFIX") && ! -f $MARKER ]]; then
    die "$PREFIX is not empty and was not made by this script; refusing to use it"
fi
find "$PREFIX" -mindepth 1 -maxdepth 1 ! -name "$(basename "$MARKER")" -exec rm -rf {} +
: > "$MARKER"

TRIPLET=$( (dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch 2>/dev/null) | head -n1)
[[ -n $TRIPLET ]] || TRIPLET=x86_64-linux-gnu
LIBDIR=$PREFIX/usr/lib/$TRIPLET
PCDIR=$LIBDIR/pkgconfig
RTROOT=$PREFIX/runtime
RTDIR=$RTROOT/usr/lib/$TRIPLET

SUITE=trixie
# The development packages; apt's resolver takes everything they need from
# there.
ROOTS=(libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev)
# Unpacked into the runtime tree instead: the C library and C++ runtime.
RUNTIME=(libc6 libstdc++6 libgcc-s1)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fetch-ffmpeg7.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
chmod 755 "$WORK"
# shellcheck source=debian-apt.sh
source "$REPO_ROOT/scripts/debian-apt.sh"
START=$SECONDS
private_apt "$WORK" "$SUITE"

# ---------------------------------------------------------------------------
# The dependency closure, as apt resolves it for an empty system (the private
# dpkg status is empty): one "package version" line each.
apt-get -s install --no-install-recommends "${ROOTS[@]}" > "$WORK/simulate.log" 2>&1 ||
    { cat "$WORK/simulate.log" >&2; die "apt cannot resolve ${ROOTS[*]} in $SUITE"; }
awk '/^Inst / { v = $3; sub(/^\(/, "", v); print $2, v }' "$WORK/simulate.log" > "$WORK/closure"
[[ -s $WORK/closure ]] || die "empty dependency closure"

# A package the system has in the same or a newer version serves as it is;
# an older one does not (Debian 12's libva2 lacks symbols Debian 13's
# libavutil59 uses, for one), so that package is fetched.
is_runtime() { local r; for r in "${RUNTIME[@]}"; do [[ $1 == "$r" ]] && return 0; done; return 1; }
declare -a FETCH=() RT_FETCH=()
skipped=0
while read -r pkg version; do
    if is_runtime "$pkg"; then RT_FETCH+=("$pkg=$version"); continue; fi
    have=$(dpkg-query -W -f='${db:Status-Abbrev} ${Version}' "$pkg" 2>/dev/null | head -n1) || have=""
    if [[ $have == [ih]i* ]] && dpkg --compare-versions "${have##* }" ge "$version"; then
        skipped=$((skipped + 1)); continue
    fi
    FETCH+=("$pkg=$version")
done < "$WORK/closure"
((${#RT_FETCH[@]} == ${#RUNTIME[@]})) || die "the closure lacks one of ${RUNTIME[*]}: ${RT_FETCH[*]}"
log "fetching ${#FETCH[@]} packages and the ${#RUNTIME[@]} runtime packages ($skipped served by the system)"

mkdir -p "$WORK/debs"
# apt downloads as its _apt user when run as root; let it write the .debs.
if [[ $(id -u) == 0 ]] && id _apt > /dev/null 2>&1; then chown _apt "$WORK/debs"; fi
(cd "$WORK/debs" && apt-get -q download "${FETCH[@]}" "${RT_FETCH[@]}" > "$WORK/download.log" 2>&1) ||
    { cat "$WORK/download.log" >&2; die "apt-get download failed"; }
for wanted in "${FETCH[@]}" "${RT_FETCH[@]}"; do
    pkg=${wanted%%=*}
    deb=$(compgen -G "$WORK/debs/${pkg}_*.deb" | head -n1) || die "no .deb for $pkg"
    if is_runtime "$pkg"; then dpkg -x "$deb" "$RTROOT"; else dpkg -x "$deb" "$PREFIX"; fi
done
# Debian 13 is merged-/usr, but fold any /lib/<triplet> into the /usr one.
for root in "$PREFIX" "$RTROOT"; do
    if [[ -d $root/lib/$TRIPLET && ! -L $root/lib ]]; then
        mkdir -p "$root/usr/lib/$TRIPLET"
        cp -a "$root/lib/$TRIPLET/." "$root/usr/lib/$TRIPLET/"
        rm -rf "${root:?}/lib/$TRIPLET"
    fi
done
LOADER=$(find "$RTDIR" -maxdepth 1 -name 'ld-linux*.so.*' | head -n1)
[[ -n $LOADER && -f $LOADER ]] || die "no program loader in $RTDIR"

# ---------------------------------------------------------------------------
# Development symlinks must point inside the prefix.
for link in "$LIBDIR"/*.so; do
    [[ -L $link ]] || continue
    target=$(readlink "$link")
    if [[ $target == /* ]]; then ln -sfn "$(basename "$target")" "$link"; fi
done
for lib in avformat avcodec avutil swresample swscale; do
    [[ $(readlink -f "$LIBDIR/lib$lib.so") == "$PREFIX"/* ]] || die "lib$lib.so does not resolve inside $PREFIX"
done

# pkg-config files: Debian's set prefix=/usr and spell libdir/includedir out
# as absolute /usr paths; point every such variable at the unpacked tree.
[[ -d $PCDIR ]] || die "no pkgconfig folder in $PCDIR"
for pc in "$PCDIR"/*.pc; do
    sed -i -E -e "s#^([A-Za-z_][A-Za-z0-9_]*)=/usr(/.*)?\$#\1=$PREFIX/usr\2#" "$pc"
done
export PKG_CONFIG_PATH=$PCDIR
AVF_VERSION=$(pkg-config --modversion libavformat)
[[ $AVF_VERSION == 61.* ]] || die "pkg-config reports libavformat $AVF_VERSION, not 61.x"

EXE_FLAGS="-Wl,--dynamic-linker=$LOADER -Wl,--disable-new-dtags -Wl,-rpath,$RTDIR:$LIBDIR -Wl,--allow-shlib-undefined"
cat > "$PREFIX/env.sh" <<EOF
FF7_LIBDIR='$LIBDIR'
FF7_PCDIR='$PCDIR'
FF7_RTDIR='$RTDIR'
FF7_LOADER='$LOADER'
FF7_EXE_FLAGS='$EXE_FLAGS'
EOF

# ---------------------------------------------------------------------------
# Verify: build and run a small program against the prefix, and check that
# it loads FFmpeg 7.1 and nothing of the system's FFmpeg.
CC=${CC:-cc}
command -v "$CC" > /dev/null || CC=gcc
cat > "$WORK/check.c" <<'EOF'
#include <stdio.h>
#include <libavformat/avformat.h>
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
int main(void) {
    printf("%u %u %u %u %u %s\n", avformat_version() >> 16, avcodec_version() >> 16,
           avutil_version() >> 16, swresample_version() >> 16, swscale_version() >> 16,
           avcodec_find_encoder_by_name("libx264") ? "libx264" : "no-libx264");
    return 0;
}
EOF
# shellcheck disable=SC2046,SC2086
"$CC" -o "$WORK/check" "$WORK/check.c" \
    $(pkg-config --cflags --libs libavformat libavcodec libavutil libswresample libswscale) \
    -Wl,-rpath-link,"$LIBDIR" $EXE_FLAGS || die "test program failed to build"
run_out=$("$WORK/check") || die "test program failed to run"
[[ $run_out == "61 61 59 5 8 libx264" ]] || die "test program reports '$run_out', expected '61 61 59 5 8 libx264'"
loaded=$(LD_TRACE_LOADED_OBJECTS=1 "$WORK/check")
! grep -q 'not found' <<< "$loaded" || die "unresolved libraries:"$'\n'"$loaded"
! grep -Eq 'lib(avcodec|avformat)\.so\.59|libavutil\.so\.57|libswresample\.so\.4|libswscale\.so\.6' <<< "$loaded" ||
    die "the system's FFmpeg is loaded too:"$'\n'"$loaded"
grep -q "libc.so.6 => $RTDIR/" <<< "$loaded" || die "the C library does not come from $RTDIR:"$'\n'"$loaded"

echo "$AVF_VERSION" > "$STAMP"
printf '%s\n' "${FETCH[@]}" "${RT_FETCH[@]}" | sort >> "$STAMP"
log "done in $((SECONDS - START)) s"
echo "FFmpeg 7 prefix: $PREFIX (libavformat $AVF_VERSION)"
