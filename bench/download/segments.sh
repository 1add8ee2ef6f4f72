#!/bin/sh
# Several connections per file against a host that limits each connection: nginx with
# limit_rate 4m and a small send buffer (so the limit holds from the first byte) serves a 48 MiB
# file; curl, aria2c with 4 and 16 connections (-k1M, no file allocation) and the download
# window with 4 and 16 connections fetch it in turn. Then an unlimited 1 GiB file through the
# window with 1 and 4 connections: several connections must cost nothing where they cannot help.
# Prints times, peak memory and ratios, and SUMMARY lines for bench/run-all.sh.
#   bench/download/segments.sh [limited-MiB] [unlimited-MiB]   (default 48 1024)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
LIMITED_MB=${1:-48}
UNLIMITED_MB=${2:-1024}
for tool in nginx curl aria2c bc python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx curl aria2 bc time)" >&2; exit 1; }
done
. "$here/../configure.sh"
. "$here/../common/nginx.sh"
ninja -C "$build" -j2 bench_download >/dev/null
BENCH="$build/bench/download/bench_download"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-segbench-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/www/limited" "$WORK/www/free" "$WORK/tmp" "$WORK/out"
dd if=/dev/urandom of="$WORK/www/limited/clip.mp4" bs=1M count="$LIMITED_MB" status=none
dd if=/dev/urandom of="$WORK/www/free/big.mp4" bs=1M count="$UNLIMITED_MB" status=none
start_nginx "$WORK" "video/mp4 mp4;" "location /limited/ { limit_rate 4m; }"

LIMITED="http://127.0.0.1:$PORT/limited/clip.mp4"
FREE="http://127.0.0.1:$PORT/free/big.mp4"
# Seconds and peak KiB of a command, into $secs and $peak; the file it made must be whole.
measure() {
  want=$1; file=$2; shift 2
  rm -f "$file"
  start=$(date +%s.%N)
  /usr/bin/time -f %M -o "$WORK/peak" "$@" >"$WORK/cmd.log" 2>&1
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  peak=$(tail -n1 "$WORK/peak")
  cmp -s "$file" "$want" || { echo "the file of '$*' differs" >&2; cat "$WORK/cmd.log" >&2; exit 1; }
}
ours() { # URL CONNECTIONS BYTES EXPECTED-FILE [--fetch-engine]
  # The window saves under the address's last segment, in its own temporary folder; the line it
  # prints gives the time of the run itself, without the process start.
  out=$("$BENCH" "${5:---fetch}" "$1" "$2" "$4" 2>"$WORK/ours.err") || { cat "$WORK/ours.err" >&2; exit 1; }
  secs=$(echo "$out" | sed -n 's/.*: \([0-9.]*\) s,.*/\1/p')
  peak=$(echo "$out" | sed -n 's/.*peak \([0-9]*\) KiB.*/\1/p')
  bytes=$(echo "$out" | sed -n 's/.*s, \([0-9]*\) bytes.*/\1/p')
  [ "$bytes" = "$3" ] || { echo "ours with $2 connections: $bytes bytes, not $3" >&2; exit 1; }
}
LIMITED_BYTES=$(stat -c %s "$WORK/www/limited/clip.mp4")
FREE_BYTES=$(stat -c %s "$WORK/www/free/big.mp4")

echo "[segments] $LIMITED_MB MiB from nginx limiting each connection to 4 MB/s"
measure "$WORK/www/limited/clip.mp4" "$WORK/out/curl.mp4" curl -s --noproxy '*' -o "$WORK/out/curl.mp4" "$LIMITED"
curl_s=$secs; curl_peak=$peak
for n in 4 16; do
  measure "$WORK/www/limited/clip.mp4" "$WORK/out/clip.mp4" aria2c -q -x"$n" -s"$n" -k1M --file-allocation=none \
    --allow-overwrite=true --auto-file-renaming=false --no-conf -d "$WORK/out" -o clip.mp4 "$LIMITED"
  eval "aria_$n=$secs; aria_peak_$n=$peak"
  ours "$LIMITED" "$n" "$LIMITED_BYTES" "$WORK/www/limited/clip.mp4"
  eval "ours_$n=$secs; ours_peak_$n=$peak"
  ours "$LIMITED" "$n" "$LIMITED_BYTES" "$WORK/www/limited/clip.mp4" --fetch-engine
  eval "engine_$n=$secs; engine_peak_$n=$peak"
done
printf '  curl              %8.3f s   peak %6s KiB\n' "$curl_s" "$curl_peak"
for n in 4 16; do
  eval "a=\$aria_$n; ap=\$aria_peak_$n; o=\$ours_$n; op=\$ours_peak_$n"
  printf '  aria2c -x%-2s       %8.3f s   peak %6s KiB\n' "$n" "$a" "$ap"
  printf '  ours, %2s conn.    %8.3f s   peak %6s KiB   ratio to aria2 %.2f, to curl %.2f   (the window)\n' "$n" "$o" "$op" \
    "$(echo "$o / $a" | bc -l)" "$(echo "$o / $curl_s" | bc -l)"
  eval "e=\$engine_$n; ep=\$engine_peak_$n"
  printf '  ours, %2s conn.    %8.3f s   peak %6s KiB   ratio to aria2 %.2f, to curl %.2f   (the engine alone)\n' "$n" "$e" "$ep" \
    "$(echo "$e / $a" | bc -l)" "$(echo "$e / $curl_s" | bc -l)"
done

echo "[segments] $UNLIMITED_MB MiB from nginx without a limit"
ours "$FREE" 1 "$FREE_BYTES" "$WORK/www/free/big.mp4"; one=$secs; one_peak=$peak
ours "$FREE" 4 "$FREE_BYTES" "$WORK/www/free/big.mp4"; four=$secs; four_peak=$peak
printf '  ours, 1 conn.     %8.3f s   peak %6s KiB\n  ours, 4 conn.     %8.3f s   peak %6s KiB   ratio %.2f\n' \
  "$one" "$one_peak" "$four" "$four_peak" "$(echo "$four / $one" | bc -l)"

printf 'SUMMARY\tdownload: %s MiB, 4 MB/s per connection, 4 connections (peak: window %s KiB, engine %s KiB, aria2 %s KiB)\t%.3f s\taria2c -x4 %.3f s\t%.2f\t<= 1.00\n' \
  "$LIMITED_MB" "$ours_peak_4" "$engine_peak_4" "$aria_peak_4" "$ours_4" "$aria_4" "$(echo "$ours_4 / $aria_4" | bc -l)"
printf 'SUMMARY\tdownload: %s MiB, 4 MB/s per connection, 16 connections\t%.3f s\taria2c -x16 %.3f s\t%.2f\t<= 1.00\n' \
  "$LIMITED_MB" "$ours_16" "$aria_16" "$(echo "$ours_16 / $aria_16" | bc -l)"
printf 'SUMMARY\tdownload: %s MiB unlimited, 4 connections against 1\t%.3f s\t1 connection %.3f s\t%.2f\t<= 1.05\n' \
  "$UNLIMITED_MB" "$four" "$one" "$(echo "$four / $one" | bc -l)"
