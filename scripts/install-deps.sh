#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; with --demo
# also what the demo takes its screenshots with.
# Does nothing when everything is there already; uses sudo when not root.
set -euo pipefail

packages=(
    build-essential cmake
    qt6-base-dev qt6-tools-dev libqt6opengl6-dev qt6-image-formats-plugins
    libx11-dev libxtst-dev libxi-dev libxrandr-dev x11-xserver-utils
    libwayland-dev wayland-protocols plasma-wayland-protocols librust-wayland-protocols-dev qt6-wayland
    sway kwin-wayland mutter pipewire-bin dbus-daemon dbus-bin libglib2.0-bin
    xvfb xauth xdotool x11-utils
    libgtest-dev libbenchmark-dev
    clang libclang-rt-14-dev
)
[ "${1:-}" = --demo ] && packages+=(x11-apps imagemagick grim)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
