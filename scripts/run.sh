#!/usr/bin/env bash
# The main job: builds everything and shows the helper at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
helper=build/default/bin/KorvaneVeskHelperService

show() {
  echo "\$ $*"
  set +e
  "$@"
  echo "(exit status $?)"
  set -e
  echo
}

show env -u KORVANE_HELPER_OWNER_UID -u KORVANE_HELPER_OWNER_GID "$helper"
show env KORVANE_HELPER_OWNER_UID=abc KORVANE_HELPER_OWNER_GID=1000 "$helper"
show "$helper" Install
show "$helper" install extra

echo "\$ KORVANE_HELPER_OWNER_UID=1000 KORVANE_HELPER_OWNER_GID=1000 $helper &   # then SIGTERM"
KORVANE_HELPER_OWNER_UID=1000 KORVANE_HELPER_OWNER_GID=1000 "$helper" &
pid=$!
until grep -q '^SigCgt:.*' "/proc/$pid/status" 2>/dev/null &&
  (( (0x$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status") & 0x4002) == 0x4002 )); do
  sleep 0.05
done
kill -TERM "$pid"
set +e
wait "$pid"
echo "(exit status $?)"
