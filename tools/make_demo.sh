#!/bin/bash
# Makes a four-camera demo recording (demo0_st.mpg .. demo3_st.mpg, 60 s each, distinct
# pictures and tones) in the given folder, unless it is there already.
set -euo pipefail
dir=${1:-demo}
mkdir -p "$dir"
sources=(testsrc testsrc2 smptebars rgbtestsrc)
tones=(440 550 660 880)
for i in 0 1 2 3; do
  out="$dir/demo${i}_st.mpg"
  [ -s "$out" ] && continue
  ffmpeg -loglevel error -y \
    -f lavfi -i "${sources[$i]}=size=640x360:rate=25:duration=60" \
    -f lavfi -i "sine=frequency=${tones[$i]}:sample_rate=48000:duration=60" \
    -c:v mpeg2video -b:v 2M -g 12 -pix_fmt yuv420p -c:a mp2 -b:a 128k -ac 2 -f vob "$out"
done
# The players may run as another user (VLC refuses root): let them read the recording.
chmod 755 "$dir"
chmod 644 "$dir"/demo?_st.mpg
