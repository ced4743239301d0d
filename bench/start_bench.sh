#!/usr/bin/env bash
# Times whole /start requests (stop of the previous Core, verification,
# spawn) in a private mount namespace; see scripts/bench.sh.
set -euo pipefail
bin=$1
owner=4242
source "$(dirname "$0")/../scripts/sandbox_helper.sh"
start_sandboxed_helper "$bin" /run/korvane-bench $owner
address=/tmp/KorvaneVeskSocket_1.sock
python3 -c "import os,socket,time; s=socket.socket(socket.AF_UNIX); s.bind('$address'); os.chown('$address',$owner,$owner); s.listen(64); time.sleep(600)" &
client=$!
until [ -S "$address" ]; do
  kill -0 "$client" 2>/dev/null || { echo "the Core's client did not start" >&2; exit 1; }
  sleep 0.05
done
times=()
for i in $(seq 1 9); do
  times+=("$(setpriv --reuid=$owner --regid=$owner --clear-groups curl -sS -o /dev/null \
    -w '%{time_total}' --unix-socket /run/korvane-vesk/helper.sock \
    -H 'content-type: application/json' \
    -d "{\"address\":\"$address\",\"sessionId\":\"0123456789abcdef0123456789abcdef\"}" \
    http://localhost/start)")
done
printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "/start with a 64 MiB Core: median %.1f ms (min %.1f, max %.1f, %d runs)\n", a[int((NR+1)/2)]*1000, a[1]*1000, a[NR]*1000, NR}'
kill "$client"
kill -TERM "$helper"
wait "$helper"
