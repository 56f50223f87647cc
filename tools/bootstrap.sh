#!/bin/bash
# Installs what the station needs to build, run and test on Debian 12.
# Run as root, or as a user who may use sudo.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libx11-dev libxext-dev libxcb1-dev
  libtelnet-dev
  libgtest-dev
  xvfb xauth x11-utils xcompmgr
  vlc-bin vlc-plugin-base vlc-plugin-video-output ffmpeg
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
