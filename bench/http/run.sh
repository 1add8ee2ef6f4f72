#!/usr/bin/env bash
# HTTP client throughput against curl.
#
# Serves a 1 GiB file from nginx on 127.0.0.1 and fetches it alternately with bench/httpget
# (THttpCli's asynchronous request into a file) and `curl -o`, five times each. Prints the median throughput of
# both, their ratio, and the peak memory (maximum resident set) of both. A 64 MiB file is
# fetched once more by each to show that the peak memory does not grow with the file size.
# Then the same over TLS: nginx with a certificate of a CA made here with openssl, trusted by
# both clients with --cacert.
#
# The last lines are SUMMARY lines for bench/run-all.sh.
#
# Environment: CW_BENCH_BUILD (default build/bench, the release build folder all benchmarks
# share) is configured and httpget built there; SIZE_MB (default 1024) and RUNS (default 5)
# change the file size and the number of rounds.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

BUILD_DIR=${CW_BENCH_BUILD:-${BUILD_DIR:-build/bench}}
build=$BUILD_DIR
SIZE_MB=${SIZE_MB:-1024}
RUNS=${RUNS:-5}

for tool in nginx curl openssl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (run scripts/deps.sh)" >&2; exit 1; }
done

. bench/configure.sh
ninja -C "$BUILD_DIR" -j2 httpget >/dev/null
HTTPGET=$(cd "$BUILD_DIR" && pwd)/bench/httpget/httpget

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cw-httpbench-XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
  if [ -n "$NGINX_PID" ] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www" "$WORK/tmp"
echo "Creating the test files ..."
dd if=/dev/urandom of="$WORK/www/big.bin" bs=1M count="$SIZE_MB" status=none
dd if=/dev/urandom of="$WORK/www/small.bin" bs=1M count=64 status=none
BYTES=$(stat -c %s "$WORK/www/big.bin")
(cd "$WORK" &&
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Bench CA" -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null &&
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout tls.key -out tls.csr \
    -subj "/CN=localhost" 2>/dev/null &&
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >tls.ext &&
  openssl x509 -req -in tls.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile tls.ext \
    -out tls.pem 2>/dev/null)

# nginx on a free port: try ports until one binds.
start_nginx() {
  local port=$1
  cat >"$WORK/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $WORK/tmp; proxy_temp_path $WORK/tmp; fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp; scgi_temp_path $WORK/tmp;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  server {
    listen 127.0.0.1:$port;
    listen 127.0.0.1:$((port + 1)) ssl;
    ssl_certificate $WORK/tls.pem;
    ssl_certificate_key $WORK/tls.key;
    root $WORK/www;
  }
}
EOF
  nginx -p "$WORK" -c "$WORK/nginx.conf" -e "$WORK/error.log" >"$WORK/nginx.out" 2>&1 &
  NGINX_PID=$!
  for _ in $(seq 50); do
    if curl -s -o /dev/null "http://127.0.0.1:$port/small.bin" 2>/dev/null; then return 0; fi
    kill -0 "$NGINX_PID" 2>/dev/null || { NGINX_PID=; return 1; }
    sleep 0.1
  done
  kill "$NGINX_PID" 2>/dev/null || true
  NGINX_PID=
  return 1
}
PORT=
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$candidate"; then PORT=$candidate; break; fi
done
[ -n "$PORT" ] || { echo "nginx did not start:" >&2; cat "$WORK/error.log" >&2; exit 1; }
URL=http://127.0.0.1:$PORT
TLS_URL=https://127.0.0.1:$((PORT + 1))

# One fetch: prints "seconds maxrss_kb".
fetch() {
  local tool=$1 url=$2 out=$WORK/out.bin
  local t0 t1
  rm -f "$out"
  t0=$(date +%s%N)
  if [ "$tool" = httpget ]; then
    /usr/bin/time -f "%M" -o "$WORK/rss" "$HTTPGET" "$url" "$out" --cacert "$WORK/ca.pem" >/dev/null
  else
    /usr/bin/time -f "%M" -o "$WORK/rss" curl -s --cacert "$WORK/ca.pem" -o "$out" "$url"
  fi
  t1=$(date +%s%N)
  local got
  got=$(stat -c %s "$out")
  rm -f "$out"
  [ "$got" = "$(stat -c %s "$WORK/www/$(basename "$url")")" ] || { echo "$tool fetched $got bytes" >&2; exit 1; }
  echo "$(( (t1 - t0) / 1000 )) $(tail -n 1 "$WORK/rss")"
}

median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# One comparison: prints the rounds, the figures and the SUMMARY lines. $1 names it, $2 is
# the base address.
compare() {
local label=$1 URL=$2
echo "[$label] Fetching $BYTES bytes from nginx, $RUNS rounds, alternating httpget and curl ..."
: >"$WORK/httpget.times"; : >"$WORK/curl.times"; : >"$WORK/httpget.rss"; : >"$WORK/curl.rss"
for i in $(seq "$RUNS"); do
  for tool in httpget curl; do
    read -r us rss < <(fetch "$tool" "$URL/big.bin")
    echo "$us" >>"$WORK/$tool.times"
    echo "$rss" >>"$WORK/$tool.rss"
    printf "  round %d %-7s %8.3f s  %7.1f MB/s  peak %6d KiB\n" "$i" "$tool" \
      "$(echo "$us" | awk '{ print $1 / 1e6 }')" "$(echo "$us $BYTES" | awk '{ print $2 / ($1 / 1e6) / 1e6 }')" "$rss"
  done
done

read -r small_us small_rss_httpget < <(fetch httpget "$URL/small.bin")
read -r small_us small_rss_curl < <(fetch curl "$URL/small.bin")

med_httpget=$(median <"$WORK/httpget.times")
med_curl=$(median <"$WORK/curl.times")
tp_httpget=$(echo "$med_httpget $BYTES" | awk '{ printf "%.1f", $2 / ($1 / 1e6) / 1e6 }')
tp_curl=$(echo "$med_curl $BYTES" | awk '{ printf "%.1f", $2 / ($1 / 1e6) / 1e6 }')
ratio=$(echo "$med_httpget $med_curl" | awk '{ printf "%.3f", $2 / $1 }')
peak_httpget=$(sort -n "$WORK/httpget.rss" | tail -n 1)
peak_curl=$(sort -n "$WORK/curl.rss" | tail -n 1)

echo
echo "median throughput  httpget: $tp_httpget MB/s   curl: $tp_curl MB/s"
echo "ratio httpget/curl: $ratio   (goal: at least 0.9)"
echo "peak memory        httpget: $peak_httpget KiB   curl: $peak_curl KiB   (file of $((BYTES / 1048576)) MiB)"
echo "peak memory, 64 MiB file  httpget: $small_rss_httpget KiB   curl: $small_rss_curl KiB"
printf "SUMMARY\t%s: 1 file of %d MiB from nginx, median throughput\t%s MB/s\tcurl %s MB/s\t%s\t>= 0.90\n" \
  "$label" "$((BYTES / 1048576))" "$tp_httpget" "$tp_curl" "$ratio"
printf "SUMMARY\t%s: peak memory, %d MiB file\t%s KiB (%s KiB at 64 MiB)\tcurl %s KiB\t%s\tflat in the file size\n" \
  "$label" "$((BYTES / 1048576))" "$peak_httpget" "$small_rss_httpget" "$peak_curl" \
  "$(echo "$peak_httpget $peak_curl" | awk '{ printf "%.2f", $1 / $2 }')"
}

compare http "$URL"
echo
compare https "$TLS_URL"
