#!/bin/bash
# Opens the station on the four-camera demo recording (made on first use in ./demo).
# "Load" then offers the demo files at once, since the station runs in the demo folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/make_demo.sh" "$top/demo"
if [ -z "${DISPLAY:-}" ]; then
  echo "No X display: run this from an X session (DISPLAY is not set)." >&2
  exit 1
fi
# Opacity shows only with a compositor; start one unless one runs already (it then just exits).
if command -v xcompmgr >/dev/null; then
  xcompmgr >/dev/null 2>&1 &
fi
cd "$top/demo"
# VLC refuses to run as root; the wrapper starts it as an unprivileged user in that case.
export VORBELT_VIDEO_PLAYER_PROGRAM="$top/tools/vlc-as-user"
exec "$top/build/VorbeltPlayer"
