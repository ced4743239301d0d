#!/usr/bin/env bash
# The main job: builds everything, then drives the helper service end to end
# with the stand-in Core in a private mount namespace (tmpfs over /run and
# /tmp, so the machine's own directories are never touched). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

echo
echo "== The command line"
helper=build/default/bin/KorvaneVeskHelperService
show() {
  printf '$'
  printf ' %q' "$@"
  printf '\n'
  set +e
  "$@"
  echo "(exit status $?)"
  set -e
}
show env -u KORVANE_HELPER_OWNER_UID -u KORVANE_HELPER_OWNER_GID "$helper"
show env KORVANE_HELPER_OWNER_UID=abc KORVANE_HELPER_OWNER_GID=1000 "$helper"
show "$helper" install extra

echo
echo "== The service, with the stand-in Core"
exec unshare --mount --propagation private bash scripts/demo_service.sh "$(pwd)/build/default/bin"
