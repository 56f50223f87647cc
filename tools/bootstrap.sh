#!/bin/bash
# Installs what the station needs to build, run and test on Debian 12.
# Run as root, or as a user who may use sudo.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libx11-dev libxext-dev libxcb1-dev libxtst-dev libxres-dev libxfixes-dev libxdamage-dev
  libxcomposite-dev libxrender-dev
  fonts-liberation2
  libtelnet-dev
  libgtest-dev
  xvfb xauth x11-utils xcompmgr openbox desktop-file-utils man-db adduser
  vlc-bin vlc-plugin-base vlc-plugin-video-output ffmpeg
)
# The Windows back end: cross-built with mingw-w64 and tested under Wine (with Wine's
# recommended libraries, as measured).
windows=(g++-mingw-w64-x86-64-posix wine wine64)
absent() {
  local list=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || list+=("$p")
  done
  echo "${list[@]}"
}
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
# As root the station runs its players as an account of its own (the package makes it too).
account() {
  getent passwd vorbelt-player >/dev/null ||
    "${as_root[@]}" adduser --system --group --no-create-home --home /nonexistent --quiet \
      vorbelt-player
}
read -r -a missing <<<"$(absent "${packages[@]}")"
read -r -a missing_windows <<<"$(absent "${windows[@]}")"
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_windows[@]} -eq 0 ]; then
  account
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_windows[@]} -gt 0 ]; then
  "${as_root[@]}" apt-get install -y -qq "${missing_windows[@]}"
fi
account
