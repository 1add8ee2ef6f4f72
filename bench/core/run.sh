#!/bin/sh
# The download core where it differs from a plain fetch, beside the reference tools:
# 1. A range silent forever: bench/core/server.py (each connection held to 4 MiB/s) serves a
#    48 MiB file as /plain/clip.mp4 and as /silent/clip.mp4, where the first answer to get to
#    20 MiB from before it stops there and then sends nothing, without closing. An answer the
#    client cuts short of 20 MiB does not count: the look at the address that `clipwarden get`
#    takes first asks for the whole file and is cut where its first piece ends, and a silence
#    nobody waits for would measure nothing. `clipwarden get -x 4` and `aria2c -x4 -s4` (its own
#    settings otherwise) fetch both; aria2c is stopped after 180 s. A fresh server for each
#    tool, so each meets the silence once.
# 2. Bytes on the wire: nginx without a limit serves a 256 MiB file; the body bytes its access
#    log gives for every request of it, summed and divided by the file's size, for ours with 4
#    connections and 1, and for aria2c -x4. A range asked for twice shows here.
# 3. Peak memory of a stream whose segments are very large: an HLS stream of 3 MPEG-TS segments
#    of about 150 MB each (a 40 Mbit/s stream, constant rate with filler, 30 s a segment) from
#    nginx, fetched by `clipwarden get -x 8` under /usr/bin/time. The command runs the ffmpeg
#    join as its child; /usr/bin/time gives the largest resident size of the command and its
#    children, whichever is larger, and that is the figure the goal is for. The program's own
#    high-water mark is shown beside it. ffmpeg reading the same playlist (-c copy) is the
#    reference.
# Every file fetched is compared with its source (the stream's decoded frames with the
# segments'); a difference fails the benchmark. Prints the figures and SUMMARY lines for
# bench/run-all.sh.
#   bench/core/run.sh [silent-MiB] [direct-MiB] [segment-MB]   (default 48 256 150; --quick 48 64 40)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
SILENT_MB=${1:-48}
DIRECT_MB=${2:-256}
SEGMENT_MB=${3:-150}
SEGMENTS=3
ARIA_LIMIT=180
for tool in nginx curl aria2c ffmpeg bc python3 timeout /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx curl aria2 ffmpeg bc time)" >&2; exit 1; }
done
. "$here/../configure.sh"
. "$here/../common/nginx.sh"
ninja -C "$build" -j2 clipwarden >/dev/null
CW="$build/clipwarden"
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-corebench-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
SERVER_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/www/free" "$WORK/www/big" "$WORK/tmp" "$WORK/out"
dd if=/dev/urandom of="$WORK/clip.mp4" bs=1M count="$SILENT_MB" status=none
dd if=/dev/urandom of="$WORK/www/free/big.mp4" bs=1M count="$DIRECT_MB" status=none
DIRECT_BYTES=$(stat -c %s "$WORK/www/free/big.mp4")

# A fresh bench/core/server.py; sets SERVER_PID and SERVER.
start_server() {
  rm -f "$WORK/port" "$WORK/server.log"
  python3 "$here/server.py" "$WORK/clip.mp4" "$WORK/port" 2>"$WORK/server.log" &
  SERVER_PID=$!
  for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
  [ -s "$WORK/port" ] || { echo "the test server did not start" >&2; cat "$WORK/server.log" >&2; exit 1; }
  SERVER="http://127.0.0.1:$(cat "$WORK/port")"
}
stop_server() {
  kill "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
}
# Seconds since $start.
since() { echo "$(date +%s.%N) - $start" | bc; }
# The file a run made must be the one served.
same() { # MADE SOURCE WHAT
  cmp -s "$1" "$2" || { echo "$3: the file differs from the one served" >&2; exit 1; }
}
ours() { # URL CONNECTIONS: seconds into $secs; saves into a fresh $WORK/out
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  start=$(date +%s.%N)
  "$CW" get --quiet -x "$2" -P "$WORK/out" "$1" >"$WORK/cmd.log" 2>&1 ||
    { echo "clipwarden get -x $2 $1 failed:" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
  secs=$(since)
}
aria() { # URL CONNECTIONS NAME: seconds into $secs, or $secs empty and $why when it did not finish
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  start=$(date +%s.%N)
  why=
  rc=0
  timeout "$ARIA_LIMIT" aria2c -q -x"$2" -s"$2" --file-allocation=none --allow-overwrite=true \
    --auto-file-renaming=false --no-conf -d "$WORK/out" -o "$3" "$1" >"$WORK/cmd.log" 2>&1 || rc=$?
  secs=$(since)
  if [ "$rc" = 124 ]; then
    secs=; why="did not finish in $ARIA_LIMIT s"
  elif [ "$rc" != 0 ]; then
    secs=; why="failed after $(printf %.0f "$(since)") s (exit $rc)"
  fi
}
silenced() { grep -q 'falls silent' "$WORK/server.log" && echo yes || echo "no (no request reached 20 MiB from before it)"; }

echo "[core] $SILENT_MB MiB at 4 MiB/s per connection, one range silent forever from 20 MiB on"
start_server
ours "$SERVER/plain/clip.mp4" 4; same "$WORK/out/clip.mp4" "$WORK/clip.mp4" "ours, plain"; ours_plain=$secs
ours "$SERVER/silent/clip.mp4" 4; same "$WORK/out/clip.mp4" "$WORK/clip.mp4" "ours, silent"; ours_silent=$secs
ours_hit=$(silenced)
stop_server
start_server
aria "$SERVER/plain/clip.mp4" 4 clip.mp4
[ -n "$secs" ] || { echo "aria2c on the plain address $why" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
same "$WORK/out/clip.mp4" "$WORK/clip.mp4" "aria2c, plain"; aria_plain=$secs
aria "$SERVER/silent/clip.mp4" 4 clip.mp4
aria_silent=$secs; aria_why=$why
[ -n "$aria_silent" ] && same "$WORK/out/clip.mp4" "$WORK/clip.mp4" "aria2c, silent"
aria_hit=$(silenced)
stop_server
ours_diff=$(echo "$ours_silent - $ours_plain" | bc)
printf '  ours, 4 conn.     plain %8.3f s   silent %8.3f s   difference %+.3f s   (the silence came up: %s)\n' \
  "$ours_plain" "$ours_silent" "$ours_diff" "$ours_hit"
if [ -n "$aria_silent" ]; then
  aria_diff=$(echo "$aria_silent - $aria_plain" | bc)
  printf '  aria2c -x4 -s4    plain %8.3f s   silent %8.3f s   difference %+.3f s   (the silence came up: %s)\n' \
    "$aria_plain" "$aria_silent" "$aria_diff" "$aria_hit"
  aria_field=$(printf 'aria2c -x4 -s4 %.3f s' "$aria_silent")
  aria_ratio=$(printf %.2f "$(echo "$ours_silent / $aria_silent" | bc -l)")
else
  printf '  aria2c -x4 -s4    plain %8.3f s   silent: %s   (the silence came up: %s)\n' \
    "$aria_plain" "$aria_why" "$aria_hit"
  aria_field="aria2c -x4 -s4 $aria_why"
  aria_ratio=-
fi

start_nginx "$WORK" "video/mp4 mp4; application/vnd.apple.mpegurl m3u8; video/mp2t ts;" \
  "access_log $WORK/access.log;"
BASE="http://127.0.0.1:$PORT"
# The body bytes nginx sent for the direct file since the log was emptied, over its size, into
# $wire, and the number of requests into $requests. nginx writes a request's line when it ends,
# also when the client hung up, so the log is read once it has stopped growing.
wire() {
  prev=-1
  for _ in $(seq 50); do
    now=$(wc -c <"$WORK/access.log")
    [ "$now" = "$prev" ] && break
    prev=$now; sleep 0.2
  done
  read -r sent requests <<EOF
$(awk -F'"' 'index($2, "/free/big.mp4") { split($3, f, " "); s += f[2]; n++ } END { printf "%d %d\n", s, n }' "$WORK/access.log")
EOF
  wire=$(echo "scale=4; $sent / $DIRECT_BYTES" | bc -l)
}
echo "[core] $DIRECT_MB MiB from nginx without a limit: body bytes sent over the file's size"
for n in 4 1; do
  : >"$WORK/access.log"
  ours "$BASE/free/big.mp4" "$n"; same "$WORK/out/big.mp4" "$WORK/www/free/big.mp4" "ours, $n conn."
  wire
  eval "wire_$n=\$wire"
  printf '  ours, %s conn.     %8.3f s   %6s of the file (%s bytes in %s requests)\n' "$n" "$secs" "$wire" "$sent" "$requests"
done
: >"$WORK/access.log"
aria "$BASE/free/big.mp4" 4 big.mp4
[ -n "$secs" ] || { echo "aria2c on the direct file $why" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
same "$WORK/out/big.mp4" "$WORK/www/free/big.mp4" "aria2c -x4, direct"
wire; wire_aria=$wire
printf '  aria2c -x4 -s4    %8.3f s   %6s of the file (%s bytes in %s requests)\n' "$secs" "$wire" "$sent" "$requests"
rm -rf "$WORK/out" "$WORK/www/free"

# A constant 40 Mbit/s (x264 pads with filler), so a segment's size follows from its length
# without having to encode that much picture.
SEGMENT_S=$((SEGMENT_MB / 5))
echo "[core] making an HLS stream of $SEGMENTS segments of $SEGMENT_S s at 40 Mbit/s"
ffmpeg -v error -f lavfi -i "testsrc2=size=640x360:rate=30" -f lavfi -i "sine=frequency=440" \
  -t "$((SEGMENTS * SEGMENT_S))" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 60 \
  -b:v 40M -minrate 40M -maxrate 40M -bufsize 20M -x264-params nal-hrd=cbr -c:a aac -shortest \
  -f hls -hls_time "$SEGMENT_S" -hls_playlist_type vod -hls_segment_filename "$WORK/www/big/s%03d.ts" \
  "$WORK/www/big/big.m3u8"
largest=$(stat -c %s "$WORK"/www/big/*.ts | sort -n | tail -n1)
count=$(find "$WORK/www/big" -name '*.ts' | wc -l)
echo "[core] $count segments, the largest $largest bytes; peak memory of a fetch with 8 connections"
frames() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}' | md5sum | cut -c1-32; }
rm -rf "$WORK/out"; mkdir -p "$WORK/out"
start=$(date +%s.%N)
/usr/bin/time -f %M -o "$WORK/peak" "$CW" get --quiet -x 8 -P "$WORK/out" "$BASE/big/big.m3u8" >"$WORK/cmd.log" 2>&1 &
timed=$!
# The program's own high-water mark, apart from its join child's: read from /proc while it runs
# (it only grows, so the last reading is all but its final value).
own=
while kill -0 "$timed" 2>/dev/null; do
  for pid in $(pgrep -P "$timed" || true); do
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$hwm" ] && own=$hwm
  done
  sleep 0.05
done
wait "$timed" || { echo "clipwarden get -x 8 on the stream failed:" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
hls_secs=$(since); hls_peak=$(tail -n1 "$WORK/peak")
start=$(date +%s.%N)
/usr/bin/time -f %M -o "$WORK/peak" ffmpeg -v error -y -i "$BASE/big/big.m3u8" -c copy "$WORK/out/ffmpeg.mp4" \
  >"$WORK/cmd.log" 2>&1 || { echo "ffmpeg on the stream failed:" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
ref_secs=$(since); ref_peak=$(tail -n1 "$WORK/peak")
[ "$(frames "$WORK/out/big.mp4")" = "$(frames "$WORK/www/big/big.m3u8")" ] ||
  { echo "ours, stream: the decoded frames differ from the segments'" >&2; exit 1; }
goal_kib=$((300 * 1024))
printf '  ours, 8 conn.     %8.3f s   peak %7s KiB   (goal under %s KiB; the program alone %s KiB)\n' \
  "$hls_secs" "$hls_peak" "$goal_kib" "${own:-?}"
printf '  ffmpeg -c copy    %8.3f s   peak %7s KiB\n' "$ref_secs" "$ref_peak"

printf 'SUMMARY\tcore: a range silent forever, 4 connections (%s MiB, 4 MiB/s per connection)\t%.3f s\twithout the silent range %.3f s\t%+.3f s\t<= 15 s\n' \
  "$SILENT_MB" "$ours_silent" "$ours_plain" "$ours_diff"
printf 'SUMMARY\tcore: the same silent range against aria2c (its plain run %.3f s)\t%.3f s\t%s\t%s\t-\n' \
  "$aria_plain" "$ours_silent" "$aria_field" "$aria_ratio"
printf 'SUMMARY\tcore: body bytes sent over the size, %s MiB direct file, 4 connections\t%s\taria2c -x4 %s\t%s\t<= 1.05\n' \
  "$DIRECT_MB" "$wire_4" "$wire_aria" "$wire_4"
printf 'SUMMARY\tcore: body bytes sent over the size, %s MiB direct file, 1 connection\t%s\taria2c -x4 %s\t%s\t<= 1.05\n' \
  "$DIRECT_MB" "$wire_1" "$wire_aria" "$wire_1"
printf 'SUMMARY\tcore: peak memory, HLS of %s segments of %s bytes, 8 connections (join included; the program alone %s KiB)\t%s KiB\tffmpeg -c copy %s KiB\t%.2f\t< %s KiB\n' \
  "$count" "$largest" "${own:-?}" "$hls_peak" "$ref_peak" "$(echo "$hls_peak / $ref_peak" | bc -l)" "$goal_kib"
