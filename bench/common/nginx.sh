# Sourced by the benchmarks that fetch from nginx. start_nginx WORK TYPES SERVER-LINES starts nginx
# in the foreground on a free port of 127.0.0.1, serving WORK/www with a small send buffer (so a
# limit_rate holds from the first byte), and waits until it answers; sets PORT and NGINX_PID.
# TYPES is the body of its types block, SERVER-LINES goes into the server block.
start_nginx() {
  mkdir -p "$1/tmp"
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat >"$1/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $1/nginx.pid;
error_log $1/error.log warn;
events { worker_connections 256; }
http {
  client_body_temp_path $1/tmp; proxy_temp_path $1/tmp; fastcgi_temp_path $1/tmp;
  uwsgi_temp_path $1/tmp; scgi_temp_path $1/tmp;
  access_log off;
  types { $2 }
  sendfile on;
  server {
    listen 127.0.0.1:$PORT sndbuf=64k;
    root $1/www;
    $3
  }
}
CONF
  nginx -p "$1" -c "$1/nginx.conf" -e "$1/error.log" &
  NGINX_PID=$!
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break; sleep 0.1; done
}
