#!/usr/bin/env bash
# Installs with apt whatever this project needs and the machine lacks.
# Usage: scripts/install-deps.sh [--demo]   (--demo adds a CJK font and Xvfb)
set -euo pipefail

packages=(cmake g++ make ninja-build ccache pkg-config
          qt6-base-dev qt6-websockets-dev qt6-multimedia-dev qt6-httpserver-dev
          qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
          xvfb xauth fonts-noto-cjk clang-format libxcb1-dev
          qtkeychain-qt6-dev gnome-keyring dbus-daemon dbus-bin
          openbox trayer xdotool x11-utils imagemagick curl
          clang-14 libclang-rt-14-dev dunst)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
