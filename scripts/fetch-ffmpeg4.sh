#!/usr/bin/env bash
# Fetch FFmpeg 4.3 (libavformat 58 / libavcodec 58 / libavutil 56 /
# libswresample 3 / libswscale 5, as shipped by Debian 11 "bullseye") into a
# private prefix, without touching the system's apt or dpkg state.
#
# Usage: scripts/fetch-ffmpeg4.sh [PREFIX]     (default: <repo>/build-ffmpeg4/prefix)
#
# The packages come from the bullseye (and bullseye-security) suites of the
# same Debian archive the system's apt sources use. apt runs with a private
# configuration (sources, state, cache, empty dpkg status); each .deb is
# unpacked with `dpkg -x` into PREFIX. Runtime libraries the system already
# has under the same Debian package name (same soname) are not fetched.
#
# To build and run against the result:
#   PKG_CONFIG_PATH=PREFIX/usr/lib/<triplet>/pkgconfig
#   link with -Wl,-rpath-link,PREFIX/usr/lib/<triplet>
#   run with  LD_LIBRARY_PATH=PREFIX/usr/lib/<triplet>
#
# A stamp file in PREFIX marks a complete run; later runs exit at once.
set -euo pipefail

log() { printf '[fetch-ffmpeg4] %s\n' "$*" >&2; }
die() { printf '[fetch-ffmpeg4] error: %s\n' "$*" >&2; exit 1; }

REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PREFIX=${1:-$REPO_ROOT/build-ffmpeg4/prefix}
mkdir -p "$PREFIX"
PREFIX=$(cd "$PREFIX" && pwd -P)

MARKER=$PREFIX/.ffmpeg4-prefix
STAMP=$PREFIX/.ffmpeg4-complete

if [[ -f $STAMP ]]; then
    echo "FFmpeg 4 prefix: $PREFIX (libavformat $(head -n1 "$STAMP"), up to date)"
    exit 0
fi

# ---------------------------------------------------------------------------
# Prefix hygiene: only ever wipe a folder this script created.
if [[ -n $(ls -A "$PREFIX") && ! -f $MARKER ]]; then
    die "$PREFIX is not empty and was not made by this script; refusing to use it"
fi
find "$PREFIX" -mindepth 1 -maxdepth 1 ! -name "$(basename "$MARKER")" -exec rm -rf {} +
: > "$MARKER"

TRIPLET=$( (dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch 2>/dev/null) | head -n1)
[[ -n $TRIPLET ]] || TRIPLET=x86_64-linux-gnu
LIBDIR=$PREFIX/usr/lib/$TRIPLET
PCDIR=$LIBDIR/pkgconfig

SUITE=bullseye
# Packages that must come from bullseye even if the system has a package of
# the same name: the FFmpeg 4 libraries themselves, and libraries whose
# system build links the system's FFmpeg (libchromaprint1 links libavcodec59
# in Debian 12).
FORCED=(
    libavformat58 libavcodec58 libavutil56 libswresample3 libswscale5
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
    libchromaprint1
)
# Bullseye runtime dependencies that Debian 12 lacks. The dependency walk below
# finds these (and any other missing ones) by itself; they are listed so the
# intent is visible and a change in the walk cannot silently drop them.
EXTRA=(
    libvpx6 libwebp6 libdav1d4 libaom0 libcodec2-0.9 libwavpack1
    libx264-160 libx265-192 libsrt1.4-gnutls
)

# ---------------------------------------------------------------------------
# Private apt configuration for the bullseye suites of the system's archive.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fetch-ffmpeg4.XXXXXX")
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
chmod 755 "$WORK"
mkdir -p "$WORK/debs"
# apt downloads as its _apt user when run as root; let it write the .debs.
if [[ $(id -u) == 0 ]] && id _apt > /dev/null 2>&1; then chown _apt "$WORK/debs"; fi
# shellcheck source=debian-apt.sh
source "$REPO_ROOT/scripts/debian-apt.sh"
START=$SECONDS
private_apt "$WORK" "$SUITE"

# ---------------------------------------------------------------------------
# Dependency walk: every Depends/Pre-Depends of a fetched package is fetched
# too, unless a package of that name is installed on the system (Debian
# library package names carry the soname, so the system copy serves).
sys_installed() {
    local st
    st=$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | head -n1) || return 1
    [[ $st == ii* || $st == hi* ]]
}

declare -A FETCH=() FORCE=()
# Never shadow the C/C++ runtime: the system's (newer) one always serves.
declare -A NEVER=([libc6]=1 [libgcc-s1]=1 [libstdc++6]=1 [gcc-10-base]=1 [libcrypt1]=1)
resolve() {
    local -a queue=("$@") next
    local p
    for p in "${FORCED[@]}"; do FORCE[$p]=1; done
    while ((${#queue[@]})); do
        next=()
        local -a batch=()
        for p in "${queue[@]}"; do
            [[ -n ${FETCH[$p]:-} || -n ${NEVER[$p]:-} ]] && continue
            if [[ -z ${FORCE[$p]:-} ]] && sys_installed "$p"; then continue; fi
            FETCH[$p]=1
            batch+=("$p")
        done
        ((${#batch[@]})) || break
        # Parse `apt-cache depends -i` output into OR-groups, one per line.
        # A "|" before "Depends" joins that entry with the next one; a
        # <virtual> entry is followed by its providers, indented further.
        local groups
        groups=$(apt-cache depends -i "${batch[@]}" | awk '
            function flush() { if (grp != "") print grp; grp = "" }
            /^[^ ]/ { flush(); cont = 0; virt = 0; next }
            /^ [ |][A-Za-z-]*Depends: / {
                if (!cont) flush()
                cont = (substr($0, 2, 1) == "|")
                name = $2
                virt = (name ~ /^</)
                if (!virt) { sub(/:.*/, "", name); grp = grp (grp == "" ? "" : " ") name }
                next
            }
            /^    / { if (virt) { name = $1; sub(/:.*/, "", name); grp = grp (grp == "" ? "" : " ") name }; next }
            END { flush() }
        ')
        local line a chosen
        while IFS= read -r line; do
            [[ -n $line ]] || continue
            chosen=""
            for a in $line; do
                if [[ -n ${FETCH[$a]:-} || -n ${NEVER[$a]:-} ]] || { [[ -z ${FORCE[$a]:-} ]] && sys_installed "$a"; }; then
                    chosen=-; break
                fi
            done
            [[ -n $chosen ]] && continue
            for a in $line; do next+=("$a"); break; done
        done <<< "$groups"
        queue=("${next[@]+"${next[@]}"}")
    done
}

fetch_and_extract() {
    local -a pkgs=("${!FETCH[@]}")
    local -a todo=()
    local p
    for p in "${pkgs[@]}"; do
        compgen -G "$WORK/debs/${p}_*.deb" > /dev/null || todo+=("$p")
    done
    if ((${#todo[@]})); then
        log "downloading ${#todo[@]} packages: $(printf '%s\n' "${todo[@]}" | sort | tr '\n' ' ')"
        (cd "$WORK/debs" && apt-get -q download "${todo[@]}" > "$WORK/download.log" 2>&1) ||
            { cat "$WORK/download.log" >&2; die "apt-get download failed"; }
        for p in "${todo[@]}"; do
            local deb
            deb=$(compgen -G "$WORK/debs/${p}_*.deb" | head -n1) || die "no .deb for $p"
            dpkg -x "$deb" "$PREFIX"
        done
    fi
}

resolve "${FORCED[@]}" "${EXTRA[@]}"

# Forbidden in the FFmpeg 4 process: the system's FFmpeg 5 libraries.
FORBIDDEN_RE='lib(avcodec|avformat|avdevice)\.so\.59|libavutil\.so\.57|libavfilter\.so\.8|libswresample\.so\.4|libswscale\.so\.6|libpostproc\.so\.56'

for round in 1 2 3 4; do
    fetch_and_extract
    # Some bullseye packages install into /lib/<triplet>; fold them into LIBDIR.
    if [[ -d $PREFIX/lib/$TRIPLET ]]; then
        mkdir -p "$LIBDIR"
        cp -a "$PREFIX/lib/$TRIPLET/." "$LIBDIR/"
        rm -rf "${PREFIX:?}/lib/$TRIPLET"
    fi
    # Check what the FFmpeg 4 libraries load.
    missing="" culprits=""
    for so in "$LIBDIR"/lib{avformat,avcodec,avutil,swresample,swscale}.so.[0-9]*; do
        [[ -f $so && ! -L $so ]] || continue
        out=$(LD_LIBRARY_PATH=$LIBDIR ldd "$so")
        missing+=$(awk '/not found/ { print $1 }' <<< "$out")$'\n'
        # System libraries (outside the prefix) that link the system FFmpeg.
        while read -r path; do
            [[ -n $path && $path != "$PREFIX"/* ]] || continue
            if grep -Eq "($FORBIDDEN_RE)" <<< "${path##*/}"; then continue; fi
            if readelf -d "$path" 2>/dev/null | grep -Eq "NEEDED.*($FORBIDDEN_RE)"; then
                culprits+="$path"$'\n'
            fi
        done < <(awk '$2 == "=>" && $3 ~ /^\// { print $3 }' <<< "$out" | sort -u)
        if grep -Eq "($FORBIDDEN_RE) => /" <<< "$out"; then
            [[ -n $culprits ]] || die "$so loads the system FFmpeg 5 but no culprit was found:"$'\n'"$out"
        fi
    done
    missing=$(sort -u <<< "$missing" | sed '/^$/d')
    [[ -z $missing ]] || die "libraries not found for the FFmpeg 4 libraries: $(tr '\n' ' ' <<< "$missing")"
    culprits=$(sort -u <<< "$culprits" | sed '/^$/d')
    [[ -n $culprits ]] || break
    ((round < 4)) || die "still loading system FFmpeg 5 libraries via: $culprits"
    newpkgs=()
    while read -r path; do
        pkg=""
        for cand in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path}"; do
            pkg=$(dpkg -S "$cand" 2>/dev/null | head -n1 | cut -d: -f1) && [[ -n $pkg ]] && break
        done
        [[ -n $pkg ]] || die "cannot tell which package ships $path (it links the system FFmpeg 5)"
        log "$path ($pkg) links the system FFmpeg 5; taking $pkg from $SUITE too"
        newpkgs+=("$pkg")
    done <<< "$culprits"
    FORCED+=("${newpkgs[@]}")
    resolve "${newpkgs[@]}"
done

# ---------------------------------------------------------------------------
# Development symlinks must point inside the prefix.
for link in "$LIBDIR"/*.so; do
    [[ -L $link ]] || continue
    target=$(readlink "$link")
    if [[ $target == /* ]]; then
        ln -sfn "$(basename "$target")" "$link"
    fi
    [[ -e $link ]] || die "$link is a dangling symlink"
done
[[ $(readlink -f "$LIBDIR/libavformat.so") == "$PREFIX"/* ]] || die "libavformat.so does not resolve inside $PREFIX"

# pkg-config files: Debian's set prefix=/usr and spell libdir/includedir out
# as absolute /usr paths; point every such variable at the unpacked tree.
[[ -d $PCDIR ]] || die "no pkgconfig folder in $PCDIR"
for pc in "$PCDIR"/*.pc; do
    sed -i -E -e "s#^([A-Za-z_][A-Za-z0-9_]*)=/usr(/.*)?\$#\1=$PREFIX/usr\2#" "$pc"
done

export PKG_CONFIG_PATH=$PCDIR
AVF_VERSION=$(pkg-config --modversion libavformat)
[[ $AVF_VERSION == 58.* ]] || die "pkg-config reports libavformat $AVF_VERSION, not 58.x"
pkg-config --cflags libavformat | grep -q -- "-I$PREFIX/usr/include" ||
    die "pkg-config --cflags libavformat does not point into $PREFIX: $(pkg-config --cflags libavformat)"

# ---------------------------------------------------------------------------
# Verify: build and run a tiny program against the prefix.
CC=${CC:-cc}
command -v "$CC" > /dev/null || CC=gcc
TEST_DIR=$(mktemp -d "${TMPDIR:-/tmp}/ffmpeg4-check.XXXXXX")
trap 'cleanup; rm -rf "$TEST_DIR"' EXIT
cat > "$TEST_DIR/check.c" <<'EOF'
#include <stdio.h>
#include <libavformat/avformat.h>
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
int main(void) {
    unsigned v = avformat_version();
    printf("%u.%u.%u %s\n", v >> 16, (v >> 8) & 0xff, v & 0xff, LIBAVFORMAT_IDENT);
    printf("avcodec %u avutil %u\n", avcodec_version() >> 16, avutil_version() >> 16);
    return 0;
}
EOF
# shellcheck disable=SC2046
"$CC" -o "$TEST_DIR/check" "$TEST_DIR/check.c" \
    $(pkg-config --cflags --libs libavformat libavcodec libavutil) \
    -Wl,-rpath-link,"$LIBDIR" || die "test program failed to build"
run_out=$(LD_LIBRARY_PATH=$LIBDIR "$TEST_DIR/check") || die "test program failed to run"
read -r rt_version rt_ident _ <<< "$run_out"
[[ $rt_version == 58.* && $rt_ident == Lavf58.* ]] || die "test program reports '$run_out', expected libavformat 58.x"
grep -q '^avcodec 58 avutil 56$' <<< "$(sed -n 2p <<< "$run_out")" || die "test program reports '$run_out'"
ldd_out=$(LD_LIBRARY_PATH=$LIBDIR ldd "$TEST_DIR/check")
for lib in libavformat.so.58 libavcodec.so.58 libavutil.so.56 libswresample.so.3; do
    grep -q "$lib => $LIBDIR/" <<< "$ldd_out" || die "$lib not loaded from $LIBDIR:"$'\n'"$ldd_out"
done
! grep -Eq "$FORBIDDEN_RE|not found" <<< "$ldd_out" || die "test program loads system FFmpeg 5 or misses libraries:"$'\n'"$ldd_out"

echo "$rt_version" > "$STAMP"
printf '%s\n' "${!FETCH[@]}" | sort >> "$STAMP"
log "done in $((SECONDS - START)) s"
echo "FFmpeg 4 prefix: $PREFIX (libavformat $rt_version, $rt_ident)"
