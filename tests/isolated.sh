#!/bin/bash
# Runs one test program in a private runtime directory (so its report pipe is its own) and,
# with --x11, on its own Xvfb server. Xvfb picks a free display number itself (-displayfd),
# so tests can run side by side. --x11-without EXT: a server without that extension.
set -u
x11=0
without=()
if [ "${1:-}" = "--x11" ]; then
  x11=1
  shift
elif [ "${1:-}" = "--x11-without" ] && [ $# -ge 2 ]; then
  x11=1
  without=(-extension "$2")
  shift 2
fi
work=$(mktemp -d)
chmod 700 "$work"
export XDG_RUNTIME_DIR="$work"
xpid=
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$x11" = 1 ]; then
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset "${without[@]}" 3>"$work/display" 2>"$work/xvfb.log" &
  xpid=$!
  for _ in $(seq 1 200); do
    [ -s "$work/display" ] && break
    kill -0 "$xpid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -s "$work/display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n 1 "$work/display")"
fi
"$@"
