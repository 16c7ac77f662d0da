#!/usr/bin/env bash
# Local nginx mirrors of one folder on 127.0.0.1, on ports chosen at run time; each mirror keeps
# its configuration, pid and logs in STATE/mirror<i>/.
#   scripts/mirrors.sh start STATE ROOT N   starts N mirrors of ROOT; prints one base URL a line
#   scripts/mirrors.sh stop STATE           stops every mirror started under STATE
#   scripts/mirrors.sh delivered STATE      per mirror: requests answered and body bytes sent
#   scripts/mirrors.sh certify FOLDER       makes a test authority (FOLDER/ca.pem) and a certificate
#                                           it signed for 127.0.0.1-4 and localhost (cert.pem, key.pem)
# LIMIT_RATE (an nginx rate such as 200k or 20m) holds each connection of the mirrors started to
# that rate. TLS_FOLDER (one that certify made) makes the mirrors serve HTTPS with its certificate.
# SPREAD=1 puts mirror i on 127.0.0.<i> instead, so that clients which limit connections by host
# see each mirror as a host of its own.
set -euo pipefail

usage() {
  echo "usage: $0 start STATE ROOT N | stop STATE | delivered STATE | certify FOLDER" >&2
  exit 1
}

# N ports that were free a moment ago: the sockets are all held until every port is known.
free_ports() {
  python3 - "$1" <<'EOF'
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
for s in held:
    print(s.getsockname()[1])
EOF
}

write_config() {  # dir root address port
  local dir=$1 root=$2 address=$3 port=$4 temp
  for temp in client_body proxy fastcgi uwsgi scgi; do mkdir -p "$dir/$temp"; done
  cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  log_format delivered '\$status \$body_bytes_sent "\$request" \$request_time';
  access_log $dir/access.log delivered;
  client_body_temp_path $dir/client_body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  server {
    listen $address:$port${TLS_FOLDER:+ ssl};
    root $root;
    ${LIMIT_RATE:+limit_rate $LIMIT_RATE;}
    ${TLS_FOLDER:+ssl_certificate $TLS_FOLDER/cert.pem; ssl_certificate_key $TLS_FOLDER/key.pem;}
  }
}
EOF
}

wait_until_serving() {  # address port pid
  local tries
  for tries in $(seq 100); do
    kill -0 "$3" 2>/dev/null || return 1
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

start() {  # state root count
  local state=$1 root count=$3 i=0 port dir scheme=http address=127.0.0.1
  [[ -z ${TLS_FOLDER:-} ]] || scheme=https
  root=$(cd "$2" && pwd)
  mkdir -p "$state"
  for port in $(free_ports "$count"); do
    i=$((i + 1))
    [[ -z ${SPREAD:-} ]] || address=127.0.0.$i
    dir=$(cd "$state" && pwd)/mirror$i
    mkdir -p "$dir"
    write_config "$dir" "$root" "$address" "$port"
    # Its output goes to a file: a caller reading ours through a pipe must not wait for nginx.
    nginx -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log" >"$dir/nginx.out" 2>&1 </dev/null &
    echo $! >"$dir/pid"
    echo "$port" >"$dir/port"
    if ! wait_until_serving "$address" "$port" "$!"; then
      echo "mirror $i did not start:" >&2
      cat "$dir/nginx.out" "$dir/error.log" >&2 2>/dev/null || true
      stop "$state"
      return 1
    fi
    echo "$scheme://$address:$port"
  done
}

stop() {  # state
  local pidfile pid
  for pidfile in "$1"/mirror*/pid; do
    [[ -f $pidfile ]] || continue
    pid=$(cat "$pidfile")
    # A zombie counts as gone: not every init reaps orphans promptly.
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 100); do
        [[ $(sed -E 's/.*\) (.).*/\1/' "/proc/$pid/stat" 2>/dev/null) == [^Z] ]] || break
        sleep 0.05
      done
    fi
    rm -f "$pidfile"
  done
}

certify() {  # folder
  local folder=$1 key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  mkdir -p "$folder"
  openssl req -x509 -days 30 -subj "/CN=bw test authority" -keyout "$folder/ca.key" -out "$folder/ca.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign "${key[@]}" 2>/dev/null
  openssl req -subj "/CN=bw test server" -keyout "$folder/key.pem" -out "$folder/server.csr" "${key[@]}" 2>/dev/null
  echo "subjectAltName=IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3,IP:127.0.0.4,DNS:localhost" >"$folder/ext.cnf"
  openssl x509 -req -in "$folder/server.csr" -CA "$folder/ca.pem" -CAkey "$folder/ca.key" -CAcreateserial \
    -days 30 -extfile "$folder/ext.cnf" -out "$folder/cert.pem" 2>/dev/null
}

delivered() {  # state
  local dir
  for dir in "$1"/mirror*/; do
    [[ -f $dir/port ]] || continue
    awk -v name="$(basename "$dir")" -v port="$(cat "$dir/port")" '
      { requests++; bytes += $2 }
      END { printf "%s (port %s): %d requests, %.1f MiB\n", name, port, requests, bytes / 1048576 }
    ' "$dir/access.log" 2>/dev/null || echo "$(basename "$dir"): nothing logged"
  done
}

case "${1:-}" in
  start) (($# == 4)) || usage; start "$2" "$3" "$4" ;;
  stop) (($# == 2)) || usage; stop "$2" ;;
  delivered) (($# == 2)) || usage; delivered "$2" ;;
  certify) (($# == 2)) || usage; certify "$2" ;;
  *) usage ;;
esac
