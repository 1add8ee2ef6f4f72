#!/bin/sh
# The run's rate cap (--limit-rate) against curl's: nginx without a limit serves a file, and
# `clipwarden get --limit-rate RATE` with 1 and 4 connections, and `curl --limit-rate RATE`, fetch
# it. Prints the average rate each reached (bytes over wall time, the process's whole life) as a
# share of the cap; near 1.00 and never much above it is the goal. Two items at once (-j 2) share
# one cap, so their sum is shown too. Every file is compared with its source.
#   bench/ratecap/run.sh [MiB] [rate]   (default 24 4M; --quick 12 4M)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${CW_BENCH_BUILD:-$root/build/bench}
MB=${1:-24}
RATE=${2:-4M}
for tool in nginx curl cmp bc python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx curl bc)" >&2; exit 1; }
done
. "$here/../configure.sh"
. "$here/../common/nginx.sh"
ninja -C "$build" -j2 clipwarden >/dev/null
CW="$build/clipwarden"
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-ratecap-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
mkdir -p "$WORK/www"
for name in a b; do dd if=/dev/urandom of="$WORK/www/$name.mp4" bs=1M count="$MB" status=none; done
start_nginx "$WORK" "video/mp4 mp4;" ""
BYTES=$(stat -c %s "$WORK/www/a.mp4")
CAP=$(python3 -c "
r='$RATE'; u={'k':1024,'m':1048576}.get(r[-1].lower(),1)
print(int(float(r[:-1] if u>1 else r)*u))")

now() { python3 -c 'import time; print(time.monotonic())'; }
# share NAME BYTES SECONDS: the reached rate over the cap
share() { echo "scale=3; $2 / $3 / $CAP" | bc; }

run_ours() { # connections jobs
  rm -rf "$WORK/out"
  start=$(now)
  if [ "$2" = 1 ]; then
    "$CW" get -q --limit-rate "$RATE" -x "$1" -P "$WORK/out" "http://127.0.0.1:$PORT/a.mp4"
  else
    "$CW" get -q --limit-rate "$RATE" -x "$1" -j 2 -P "$WORK/out" "http://127.0.0.1:$PORT/a.mp4" "http://127.0.0.1:$PORT/b.mp4"
    cmp "$WORK/out/b.mp4" "$WORK/www/b.mp4"
  fi
  end=$(now)
  cmp "$WORK/out/a.mp4" "$WORK/www/a.mp4"
  echo "$end - $start" | bc
}

t1=$(run_ours 1 1)
t4=$(run_ours 4 1)
tj=$(run_ours 4 2)
rm -f "$WORK/curl.mp4"
start=$(now)
curl -s --limit-rate "$RATE" -o "$WORK/curl.mp4" "http://127.0.0.1:$PORT/a.mp4"
end=$(now)
tc=$(echo "$end - $start" | bc)
cmp "$WORK/curl.mp4" "$WORK/www/a.mp4"

s1=$(share x "$BYTES" "$t1")
s4=$(share x "$BYTES" "$t4")
sj=$(share x "$((BYTES * 2))" "$tj")
sc=$(share x "$BYTES" "$tc")
printf '%s MiB, cap %s (%s bytes/s)\n' "$MB" "$RATE" "$CAP"
printf '  clipwarden -x 1:       %6.2f s  %s of the cap\n' "$t1" "$s1"
printf '  clipwarden -x 4:       %6.2f s  %s of the cap\n' "$t4" "$s4"
printf '  clipwarden -x 4 -j 2:  %6.2f s  %s of the cap (both files)\n' "$tj" "$sj"
printf '  curl:                  %6.2f s  %s of the cap\n' "$tc" "$sc"
printf 'SUMMARY\tratecap: --limit-rate %s, 4 connections (%s MiB), share of the cap\t%s\tcurl %s\t%.2f\t0.90 to 1.05\n' \
  "$RATE" "$MB" "$s4" "$sc" "$(echo "scale=3; $s4 / $sc" | bc)"
printf 'SUMMARY\tratecap: two items at once share one cap\t%s\t-\t-\t0.90 to 1.05\n' "$sj"
