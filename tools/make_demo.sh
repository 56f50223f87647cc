#!/bin/bash
# Makes a four-camera demo recording (demo0_st.mpg .. demo3_st.mpg, distinct pictures and
# tones, 60 s each or as many seconds as the second argument says) in the given folder, unless
# it is there already. A third argument "mp4" makes an H.264 MP4 variant instead
# (demo0_st.mp4 .. demo3_st.mp4).
#
# Every frame carries its own number for the sync meter (bench/sync_meter), readable without
# OCR: a strip 24 pixels wide at the right edge, from the top, of 18 blocks 12 pixels high: a
# white and a black reference block, then the frame index in 16 bits, most significant first
# (white 1, black 0). 25 frames a second, MPEG-2 program stream as the station's recordings.
set -euo pipefail
dir=${1:-demo}
seconds=${2:-60}
format=${3:-mpg}
case "$format" in
  mpg) codec=(-c:v mpeg2video -b:v 2M -g 12 -c:a mp2 -b:a 128k -ac 2 -f vob) ;;
  mp4) codec=(-c:v libx264 -preset veryfast -g 12 -c:a aac -b:a 128k -ac 2 -f mp4) ;;
  *) echo "unknown format $format (mpg or mp4)" >&2; exit 2 ;;
esac
mkdir -p "$dir"
sources=(testsrc testsrc2 smptebars rgbtestsrc)
tones=(440 550 660 880)
code="if(lt(Y\,12)\,255\,if(lt(Y\,24)\,0\,255*mod(floor(N/pow(2\,15-floor((Y-24)/12)))\,2)))"
for i in 0 1 2 3; do
  out="$dir/demo${i}_st.$format"
  [ -s "$out" ] && continue
  ffmpeg -loglevel error -y \
    -f lavfi -i "${sources[$i]}=size=640x360:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=${tones[$i]}:sample_rate=48000:duration=$seconds" \
    -filter_complex "nullsrc=size=24x216:rate=25:duration=$seconds,format=gray,geq=lum='$code'[code];[0:v][code]overlay=x=616:y=0:shortest=1,format=yuv420p[v]" \
    -map "[v]" -map 1:a \
    "${codec[@]}" "$out"
done
# The players may run as another user (VLC refuses root): let them read the recording.
chmod 755 "$dir"
chmod 644 "$dir"/demo?_st."$format"
