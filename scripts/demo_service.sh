#!/usr/bin/env bash
# Runs inside a private mount namespace (see scripts/run.sh): starts the
# helper for a demo owner, then pings, starts the Core, reads the log, stops
# the Core and stops the service. Any reply other than a success stops it.
# Usage: demo_service.sh BIN_DIR [SHIPPED_DIR]  (an empty SHIPPED_DIR runs
# the helper where it is, as an installed one)
set -euo pipefail
bin=$1
shipped=${2-/run/korvane-demo}
owner=4242
source "$(dirname "$0")/sandbox_helper.sh"
start_sandboxed_helper "$bin" "$shipped" $owner
ls -l /run/korvane-vesk/helper.sock

as_owner=(setpriv --reuid=$owner --regid=$owner --clear-groups)
# Shown quoted, so that each command can be pasted as it is.
show_command() {
  printf '$'
  printf ' %q' "$@"
  printf '\n'
}
call() {
  show_command curl --unix-socket /run/korvane-vesk/helper.sock "$@"
  "${as_owner[@]}" curl -sS --fail-with-body --unix-socket /run/korvane-vesk/helper.sock "$@"
  echo
}

# The owner's socket at the Core address; the stand-in Core connects to it.
address=/tmp/KorvaneVeskSocket_1.sock
python3 - "$address" "$owner" <<'PY' &
import os, socket, sys
address, owner = sys.argv[1], int(sys.argv[2])
listener = socket.socket(socket.AF_UNIX)
listener.bind(address)
os.chown(address, owner, owner)
listener.listen(1)
core, _ = listener.accept()
core.sendall(b"say hello from the Core's client\n")
core.recv(16)
core.recv(16)  # until the Core goes away
PY
client=$!
until [ -S "$address" ]; do
  kill -0 "$client" 2>/dev/null || { echo "the Core's client did not start" >&2; exit 1; }
  sleep 0.05
done

digest=$(sha256sum "$core" | cut -d' ' -f1)
session=0123456789abcdef0123456789abcdef
call -i "http://localhost/ping?coreSha256=$digest"
call -i --http2-prior-knowledge -H 'content-type: application/json' \
  -d "{\"address\":\"$address\",\"sessionId\":\"$session\"}" http://localhost/start
sleep 0.5
call -i http://localhost/logs
call -i --http2-prior-knowledge -d "{\"sessionId\":\"$session\"}" \
  -H 'content-type: application/json' http://localhost/stop
call http://localhost/logs
wait "$client" || true

show_command kill -TERM "$helper"
kill -TERM "$helper"
set +e
wait "$helper"
echo "(exit status $?)"
