#!/usr/bin/env bash
# Makes a minimal Debian root (debootstrap --variant=minbase, the system's
# own release and archive) with python3 and python3-venv and nothing else:
# no FFmpeg, no codec libraries. The wheel is tested in it as a user with a
# bare system would run it.
# Usage: debian-root.sh      prints the root's path on its last line
# Cached in ${KORVEL_CACHE:-~/.cache/korvel}/debian-root-CODENAME; needs root
# (debootstrap, chroot).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
log() { echo "[debian-root] $*" >&2; }
die() { echo "[debian-root] error: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "debootstrap and chroot need root"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
cache=${KORVEL_CACHE:-$HOME/.cache/korvel}
root=$cache/debian-root-$codename
if [ -f "$root/.korvel-complete" ]; then
  log "cached: $root"
  echo "$root"
  exit 0
fi
read -r archive _ < <(bash "$here/debian-archive.sh")
work=$root.work
# An interrupted run may have left file systems mounted in the root: unmount
# them before anything is removed.
unmount_all() {
  local m
  for m in $(awk -v w="$work/" 'index($2, w) == 1 {print $2}' /proc/mounts | sort -r); do
    umount -l "$m" || die "cannot unmount $m"
  done
}
unmount_all
rm -rf "$work"
mkdir -p "$cache"
start=$SECONDS
log "debootstrap --variant=minbase $codename from $archive"
debootstrap --variant=minbase "$codename" "$work" "$archive" > "$cache/debootstrap.log" 2>&1 ||
  { tail -n 30 "$cache/debootstrap.log" >&2; die "debootstrap failed"; }
mount -t proc proc "$work/proc"
trap unmount_all EXIT
log "installing python3 and python3-venv"
chroot "$work" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
  sh -c 'apt-get -q update && apt-get -q install -y --no-install-recommends python3 python3-venv && apt-get clean' \
  >> "$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log" >&2; die "apt-get in the root failed"; }
unmount_all
trap - EXIT
if find "$work/usr/lib" -name 'libavformat.so*' -o -name 'libx264.so*' | grep -q .; then
  die "the root has FFmpeg or codec libraries; it must not"
fi
touch "$work/.korvel-complete"
mv "$work" "$root"
log "made in $((SECONDS - start)) s: $root"
echo "$root"
