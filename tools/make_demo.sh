#!/bin/bash
# Makes a demo recording (demo0_st.mpg .. demo3_st.mpg: distinct pictures and tones, 60 s each
# or as many seconds as the second argument says) in the given folder, unless it is there
# already. A third argument "mp4" makes an H.264 MP4 variant instead (demo0_st.mp4 ...).
# Options before the folder make the variants the sync meter measures:
#   --cameras N      N files instead of four
#   --size WxH       the picture size (640x360; 1920x1080 keeps the strip below readable)
#   --gop N          pictures per group (12)
#   --mux-delay S    the program stream's multiplexing delay in seconds (ffmpeg's own: 0.7)
#   --busy           the second camera's picture full of noise (the largest pictures)
#   --rate R         pictures a second (25; ffmpeg's notation, e.g. 30000/1001)
#   --bframes N      B pictures between the reference pictures (the encoder's own: none for
#                    MPEG-2, x264's for H.264)
#   --silent         no sound track
#   --mpeg1          MPEG-1 video in an MPEG-1 system stream (mpg only)
#
# Every frame carries its own number for the sync meter (bench/sync_meter), readable without
# OCR: a strip at the right edge, from the top, of 18 blocks (at 640x360: 24 pixels wide, 12
# high; larger pictures in proportion): a white and a black reference block, then the frame
# index in 16 bits, most significant first (white 1, black 0). 25 frames a second unless --rate
# says otherwise, MPEG-2 program stream as the station's recordings.
set -euo pipefail
cameras=4
size=640x360
gop=12
mux=()
busy=0
rate=25
bframes=()
silent=0
mpeg1=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cameras) cameras=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --gop) gop=$2; shift 2 ;;
    --mux-delay) mux=(-muxdelay "$2" -muxpreload "$2"); shift 2 ;;
    --busy) busy=1; shift ;;
    --rate) rate=$2; shift 2 ;;
    --bframes) bframes=(-bf "$2"); shift 2 ;;
    --silent) silent=1; shift ;;
    --mpeg1) mpeg1=1; shift ;;
    *) break ;;
  esac
done
dir=${1:-demo}
seconds=${2:-60}
format=${3:-mpg}
width=${size%x*}
height=${size#*x}
scale=$((height / 360))
[ "$scale" -ge 1 ] || scale=1
bits=2M
[ "$height" -gt 360 ] && bits=8M
case "$format" in
  mpg) if [ "$mpeg1" = 1 ]; then video=mpeg1video system=mpeg; else video=mpeg2video system=vob; fi
       codec=(-c:v "$video" -b:v "$bits" -g "$gop" "${bframes[@]}" -c:a mp2 -b:a 128k -ac 2 "${mux[@]}"
              -f "$system") ;;
  mp4) codec=(-c:v libx264 -preset veryfast -g "$gop" "${bframes[@]}" -c:a aac -b:a 128k -ac 2 -f mp4) ;;
  *) echo "unknown format $format (mpg or mp4)" >&2; exit 2 ;;
esac
mkdir -p "$dir"
sources=(testsrc testsrc2 smptebars rgbtestsrc)
tones=(440 550 660 880 495 605 715 935)
strip=$((24 * scale))
block=$((12 * scale))
code="if(lt(Y\,$block)\,255\,if(lt(Y\,$((2 * block)))\,0\,255*mod(floor(N/pow(2\,15-floor((Y-$((2 * block)))/$block)))\,2)))"
for ((i = 0; i < cameras; i++)); do
  out="$dir/demo${i}_st.$format"
  [ -s "$out" ] && continue
  picture="${sources[$((i % 4))]}=size=$size:rate=$rate:duration=$seconds"
  # Cameras beyond the fourth: the same sources in other colours.
  look=null
  [ "$i" -ge 4 ] && look="hue=h=$((i * 70))"
  [ "$busy" = 1 ] && [ "$i" = 1 ] && look="noise=alls=60:allf=t+u"
  sound=(-f lavfi -i "sine=frequency=${tones[$((i % 8))]}:sample_rate=48000:duration=$seconds")
  sound_map=(-map 1:a)
  [ "$silent" = 1 ] && sound=() && sound_map=()
  # Made under another name and renamed once whole: a run cut short leaves no file that a
  # later run would take for a whole recording.
  ffmpeg -loglevel fatal -y \
    -f lavfi -i "$picture" \
    "${sound[@]}" \
    -filter_complex "[0:v]$look[p];nullsrc=size=${strip}x$((18 * block)):rate=$rate:duration=$seconds,format=gray,geq=lum='$code'[code];[p][code]overlay=x=$((width - strip)):y=0:shortest=1,format=yuv420p[v]" \
    -map "[v]" "${sound_map[@]}" \
    "${codec[@]}" "$out.part"
  mv "$out.part" "$out"
done
# The players may run as another user (VLC refuses root): let them read the recording.
chmod 755 "$dir"
chmod 644 "$dir"/demo?_st."$format"
