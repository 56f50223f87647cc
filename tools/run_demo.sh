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
cd "$top/demo"
# Opacity shows only with a compositor: one is started unless one runs already (it then just
# exits), and ends with the station. (As root the station starts the players through its
# wrapper by itself: VLC refuses root.)
compositor=
if command -v xcompmgr >/dev/null; then
  xcompmgr >/dev/null 2>&1 &
  compositor=$!
fi
end() {
  [ -n "$compositor" ] && kill "$compositor" 2>/dev/null
  wait 2>/dev/null || true
}
trap end EXIT
trap 'exit 130' INT TERM
status=0
"$top/build/VorbeltPlayer" || status=$?
exit "$status"
