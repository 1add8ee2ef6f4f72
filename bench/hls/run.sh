#!/bin/sh
# HLS against ffmpeg's own reader: nginx serves a 720p stream of 2-second MPEG-TS segments and
# limits each connection to 4 MB/s (with a small send buffer, or short segments would slip
# through before the limit holds). `clipwarden get` (4 connections, the join into .mp4
# included) and `ffmpeg -i <playlist> -c copy` fetch it in turn; the decoded video frames of both
# files must be identical. ffmpeg's reader fetches the next segment on a second connection by
# default (-http_multiple); it runs both ways: as it comes, and with one connection
# (-http_multiple 0: one segment at a time), which the goal is measured against. Our peak
# memory (the process with its join child) is measured for a short and a long stream: it must
# not grow with the stream's length. Prints times, peaks, the ratio, and SUMMARY lines for
# bench/run-all.sh.
#   bench/hls/run.sh [seconds]   (default 60; the short stream is a third of it)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
SECONDS_LONG=${1:-60}
SECONDS_SHORT=$((SECONDS_LONG / 3))
for tool in nginx ffmpeg curl bc python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx ffmpeg curl bc time)" >&2; exit 1; }
done
. "$here/../configure.sh"
. "$here/../common/nginx.sh"
ninja -C "$build" -j2 clipwarden >/dev/null
CW="$build/clipwarden"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-hlsbench-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/www" "$WORK/tmp" "$WORK/out"
make_stream() { # NAME SECONDS
  mkdir -p "$WORK/www/$1"
  ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=30" -f lavfi -i "sine=frequency=440" -t "$2" \
    -c:v libx264 -preset ultrafast -b:v 6M -g 60 -pix_fmt yuv420p -c:a aac -shortest \
    -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename "$WORK/www/$1/s%03d.ts" "$WORK/www/$1/$1.m3u8"
}
echo "[hls] making a ${SECONDS_LONG} s and a ${SECONDS_SHORT} s 720p stream"
make_stream long "$SECONDS_LONG"
make_stream short "$SECONDS_SHORT"
start_nginx "$WORK" "application/vnd.apple.mpegurl m3u8; video/mp2t ts;" "limit_rate 4m;"
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY

# Seconds and peak KiB of a command, into $secs and $peak.
measure() {
  start=$(date +%s.%N)
  /usr/bin/time -f %M -o "$WORK/peak" "$@" >"$WORK/cmd.log" 2>&1 || { cat "$WORK/cmd.log" >&2; exit 1; }
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  peak=$(tail -n1 "$WORK/peak")
}
frames() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}' | md5sum | cut -c1-32; }
MB=$(du -sm "$WORK/www/long" | cut -f1)

echo "[hls] ${SECONDS_LONG} s stream (${MB} MB) from nginx limiting each connection to 4 MB/s"
measure "$CW" get --quiet -x 4 -P "$WORK/out" "http://127.0.0.1:$PORT/long/long.m3u8"
ours=$secs; ours_peak=$peak
measure ffmpeg -v error -y -http_multiple 0 -i "http://127.0.0.1:$PORT/long/long.m3u8" -c copy "$WORK/out/ffmpeg.mp4"
ref=$secs; ref_peak=$peak
measure ffmpeg -v error -y -i "http://127.0.0.1:$PORT/long/long.m3u8" -c copy "$WORK/out/ffmpeg2.mp4"
ref2=$secs; ref2_peak=$peak
measure "$CW" get --quiet -x 4 -P "$WORK/out" "http://127.0.0.1:$PORT/short/short.m3u8"
short=$secs; short_peak=$peak
same=no
[ "$(frames "$WORK/out/long.mp4")" = "$(frames "$WORK/out/ffmpeg.mp4")" ] && same=yes
[ "$same" = yes ] || { echo "the decoded frames differ" >&2; exit 1; }
printf '  ours, 4 conn.     %8.3f s   peak %6s KiB\n' "$ours" "$ours_peak"
printf '  ffmpeg, 1 conn.   %8.3f s   peak %6s KiB   ours %.2fx faster, frames identical: %s\n' "$ref" "$ref_peak" \
  "$(echo "$ref / $ours" | bc -l)" "$same"
printf '  ffmpeg, default   %8.3f s   peak %6s KiB   ours %.2fx faster (its reader uses a second connection)\n' \
  "$ref2" "$ref2_peak" "$(echo "$ref2 / $ours" | bc -l)"
printf '  ours, %s s stream %6.3f s   peak %6s KiB   (peak of the long stream / the short one: %.2f)\n' \
  "$SECONDS_SHORT" "$short" "$short_peak" "$(echo "$ours_peak / $short_peak" | bc -l)"
printf 'SUMMARY\thls: %s s 720p stream, 4 MB/s per connection, 4 connections (peak %s KiB; %s s stream %s KiB)\t%.3f s\tffmpeg -http_multiple 0 -c copy %.3f s\t%.2f\t<= 0.33\n' \
  "$SECONDS_LONG" "$ours_peak" "$SECONDS_SHORT" "$short_peak" "$ours" "$ref" "$(echo "$ours / $ref" | bc -l)"
printf 'SUMMARY\thls: the same against ffmpeg as it comes (two connections)\t%.3f s\tffmpeg -c copy %.3f s\t%.2f\t-\n' \
  "$ours" "$ref2" "$(echo "$ours / $ref2" | bc -l)"
