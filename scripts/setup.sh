#!/usr/bin/env bash
# Installs everything the build, the tests and the main job need on Debian 12.
# Skips apt-get entirely when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libc++-14-dev libc++abi-14-dev
  libclang-rt-14-dev llvm-14
  libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils libpulse-dev sox
  pipewire-pulse pipewire-bin
  xvfb x11-utils x11-xserver-utils
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libyuv-dev ffmpeg imagemagick python3 python3-pytest
  g++-aarch64-linux-gnu qemu-user googletest
  libpipewire-0.3-dev libsystemd-dev
  sway swaybg xdg-desktop-portal xdg-desktop-portal-wlr pipewire wireplumber dbus-daemon dbus-bin
  meson ninja-build dpkg-dev libdrm-dev libinih-dev libgbm-dev libwayland-dev wayland-protocols
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
  --no-install-recommends "${missing[@]}" >/dev/null
