#!/usr/bin/env bash
# Benchmark (not a test): the helper against nginx on Unix sockets, both
# driven by h2load as the owner, HTTP/1.1 and HTTP/2 with prior knowledge,
# at 1, 8 and 64 connections. nginx answers `return 200` with a 200-byte
# body, once with 1 worker and once with 2; the helper answers GET /logs
# and GET /ping. The runs of one configuration alternate, PAIRS times each,
# and the medians and the ratio helper/nginx (the better nginx) are printed.
# This machine's speed drifts: only the ratios count, and differences under
# 10% are noise. Needs root; installs Debian's nginx when it is missing.
#   bench/http_load.sh [PAIRS] [SECONDS]      (defaults: 5 pairs, 3 s a run)
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-5}
seconds=${2:-3}
scripts/setup.sh
if ! command -v nginx >/dev/null; then
  echo "http_load: installing nginx"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target KorvaneVeskHelperService >/dev/null

exec unshare --mount --propagation private bash ${HTTP_LOAD_TRACE:+-x} -c '
  set -euo pipefail
  pairs=$1 seconds=$2
  source scripts/sandbox_helper.sh
  start_sandboxed_helper "$3/build/default/bin" /run/korvane-bench 4242
  trap "kill -TERM $helper 2>/dev/null; for p in /run/nginx-bench/*/nginx.pid; do [ -f \$p ] && kill \$(cat \$p); done" EXIT
  digest=$(sha256sum /run/korvane-bench/KorvaneVeskCore | cut -d" " -f1)
  body=$(head -c 200 /dev/zero | tr "\0" x)

  # nginx with 1 and with 2 workers, each on sockets of its own.
  for workers in 1 2; do
    dir=/run/nginx-bench/$workers
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<EOF
worker_processes $workers;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  # One connection for the whole run, as the helper keeps it.
  keepalive_requests 1000000000;
  keepalive_timeout 3600s;
  server {
    listen unix:$dir/h1.sock;
    listen unix:$dir/h2.sock http2;
    location / { return 200 "$body"; }
  }
}
EOF
    nginx -c "$dir/nginx.conf" -p "$dir"
  done
  until [ -S /run/nginx-bench/1/h2.sock ] && [ -S /run/nginx-bench/2/h2.sock ]; do sleep 0.1; done
  chmod 0666 /run/nginx-bench/*/*.sock

  # One h2load run: "requests per second, p50 in microseconds".
  run() {
    local socket=$1 url=$2 connections=$3 protocol=$4 log
    log=$(mktemp /run/h2load.XXXXXX)
    chmod 0666 "$log"
    local args=(-B "unix:$socket" -c "$connections" -t 1 -D "$seconds" --warm-up-time 1
                --log-file="$log")
    [ "$protocol" = h1 ] && args+=(--h1)
    local out
    out=$(setpriv --reuid=4242 --regid=4242 --clear-groups h2load "${args[@]}" "$url" 2>&1) || true
    local rate
    rate=$(awk "/^finished in/ {print \$4}" <<<"$out")
    local p50
    p50=$(sort -n -k3 "$log" | awk "{ t[NR] = \$3 } END { print (NR ? t[int((NR + 1) / 2)] : 0) }")
    rm -f "$log"
    [ -n "$rate" ] || { echo "h2load failed: $out" >&2; rate=0; }
    echo "$rate $p50"
  }
  median() { sort -n | awk "{ v[NR] = \$1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }"; }

  printf "%-9s %5s | %10s %10s %10s %10s | %8s %8s | %7s %7s %8s\n" protocol conns \
    "nginx 1w" "nginx 2w" "logs" "ping" "p50 ngx" "p50 logs" "logs/ng" "ping/ng" "ping/logs"
  for protocol in h1 h2; do
    for connections in 1 8 64; do
      declare -A rates=() p50s=()
      for ((i = 0; i < pairs; i++)); do
        for target in nginx1 helper_logs nginx2 helper_ping; do
          case $target in
            nginx1) result=$(run "/run/nginx-bench/1/$protocol.sock" http://localhost/ "$connections" "$protocol") ;;
            nginx2) result=$(run "/run/nginx-bench/2/$protocol.sock" http://localhost/ "$connections" "$protocol") ;;
            helper_logs) result=$(run /run/korvane-vesk/helper.sock http://localhost/logs "$connections" "$protocol") ;;
            helper_ping) result=$(run /run/korvane-vesk/helper.sock "http://localhost/ping?coreSha256=$digest" "$connections" "$protocol") ;;
          esac
          rates[$target]+="${result% *} "
          p50s[$target]+="${result#* } "
        done
      done
      m() { tr " " "\n" <<<"${rates[$1]}" | grep . | median; }
      p() { tr " " "\n" <<<"${p50s[$1]}" | grep . | median; }
      n1=$(m nginx1) n2=$(m nginx2) logs=$(m helper_logs) ping=$(m helper_ping)
      best=$(awk -v a="$n1" -v b="$n2" "BEGIN { print (a > b ? a : b) }")
      p50n=$(awk -v a="$n1" -v b="$n2" -v pa="$(p nginx1)" -v pb="$(p nginx2)" "BEGIN { print (a > b ? pa : pb) }")
      awk -v pr="$protocol" -v c="$connections" -v n1="$n1" -v n2="$n2" -v l="$logs" -v pg="$ping" \
          -v best="$best" -v pn="$p50n" -v pl="$(p helper_logs)" \
        "BEGIN { printf \"%-9s %5d | %10.0f %10.0f %10.0f %10.0f | %8d %8d | %7.2f %7.2f %8.2f\\n\", \
                 (pr == \"h1\" ? \"HTTP/1.1\" : \"HTTP/2\"), c, n1, n2, l, pg, pn, pl, l / best, pg / best, pg / l }"
      unset rates p50s
    done
  done
' http_load "$pairs" "$seconds" "$(pwd)"
