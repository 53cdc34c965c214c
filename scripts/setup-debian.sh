#!/usr/bin/env bash
# Installs what building, testing and running korvel need on Debian 12.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
  ffmpeg
  libgtest-dev nlohmann-json3-dev
  binutils locales
  clang libclang-rt-14-dev
  python3 python3-pytest python3-venv python3-setuptools python3-wheel patchelf
  python3-distributed python3-dask python3-tqdm
  # The wheel: korvel's own FFmpeg built from Debian's source package, with
  # these external libraries, and a minimal Debian root to test it in.
  dpkg-dev nasm libx264-dev libmp3lame-dev libvorbis-dev libdav1d-dev zlib1g-dev
  debootstrap debian-archive-keyring
  python3-av  # the peer of scripts/bench.sh
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[setup] installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The report test runs under a locale with a decimal comma.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "[setup] generating the de_DE.UTF-8 locale"
  $sudo sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
fi
