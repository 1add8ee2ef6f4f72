#!/bin/sh
# DASH against ffmpeg's own DASH reader: nginx serves a 720p stream (video and audio as separate
# representations of 2-second fragmented MP4 segments, by a SegmentTemplate) and limits each
# connection to 4 MB/s (with a small send buffer, so short segments cannot slip through before
# the limit holds). `clipwarden get` (4 connections, the join into .mp4 included) and
# `ffmpeg -i <manifest> -c copy` fetch it in turn; the decoded video frames of both files must
# be identical. Prints both times, our peak memory, the ratio, and a SUMMARY line for
# bench/run-all.sh.
#   bench/dash/run.sh [seconds]   (default 30)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
LENGTH=${1:-30}
for tool in nginx ffmpeg curl bc python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx ffmpeg curl bc time)" >&2; exit 1; }
done
. "$here/../configure.sh"
. "$here/../common/nginx.sh"
ninja -C "$build" -j2 clipwarden >/dev/null
CW="$build/clipwarden"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-dashbench-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/www/clip" "$WORK/tmp" "$WORK/out"
echo "[dash] making a ${LENGTH} s 720p stream"
ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=30" -f lavfi -i "sine=frequency=440" -t "$LENGTH" \
  -c:v libx264 -preset ultrafast -b:v 6M -g 60 -pix_fmt yuv420p -c:a aac -shortest \
  -f dash -seg_duration 2 -use_template 1 -use_timeline 1 -adaptation_sets "id=0,streams=v id=1,streams=a" \
  "$WORK/www/clip/clip.mpd"
start_nginx "$WORK" "application/dash+xml mpd; video/mp4 m4s mp4;" "limit_rate 4m;"
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY

# Seconds and peak KiB of a command, into $secs and $peak.
measure() {
  start=$(date +%s.%N)
  /usr/bin/time -f %M -o "$WORK/peak" "$@" >"$WORK/cmd.log" 2>&1 || { cat "$WORK/cmd.log" >&2; exit 1; }
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  peak=$(tail -n1 "$WORK/peak")
}
frames() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}' | md5sum | cut -c1-32; }
MB=$(du -sm "$WORK/www/clip" | cut -f1)
URL="http://127.0.0.1:$PORT/clip/clip.mpd"

echo "[dash] ${LENGTH} s stream (${MB} MB) from nginx limiting each connection to 4 MB/s"
measure "$CW" get --quiet -x 4 -P "$WORK/out" "$URL"
ours=$secs; ours_peak=$peak
measure ffmpeg -v error -y -i "$URL" -c copy "$WORK/out/ffmpeg.mp4"
ref=$secs; ref_peak=$peak
same=no
[ "$(frames "$WORK/out/clip.mp4")" = "$(frames "$WORK/out/ffmpeg.mp4")" ] && same=yes
[ "$same" = yes ] || { echo "the decoded frames differ" >&2; exit 1; }
printf '  ours, 4 conn.     %8.3f s   peak %6s KiB\n' "$ours" "$ours_peak"
printf '  ffmpeg            %8.3f s   peak %6s KiB   ours %.2fx faster, frames identical: %s\n' "$ref" "$ref_peak" \
  "$(echo "$ref / $ours" | bc -l)" "$same"
printf 'SUMMARY\tdash: %s s 720p stream, video and audio apart, 4 MB/s per connection, 4 connections (peak %s KiB)\t%.3f s\tffmpeg -c copy %.3f s\t%.2f\t<= 0.33\n' \
  "$LENGTH" "$ours_peak" "$ours" "$ref" "$(echo "$ours / $ref" | bc -l)"
