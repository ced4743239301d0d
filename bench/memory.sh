#!/usr/bin/env bash
# Benchmark (not a test): the helper's resident memory over a million
# requests per protocol, per idle connection, and after a burst of load, on
# the optimised build: bench/memory.sh [soak|idle|burst] (default: all).
# Needs root: it runs the helper in a private mount namespace as the main
# job does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target KorvaneVeskHelperService connection_memory >/dev/null
exec unshare --mount --propagation private bash -c '
  set -euo pipefail
  exec {client}<build/default/bench-bin/connection_memory
  source scripts/sandbox_helper.sh
  start_sandboxed_helper "$1/build/default/bin" /run/korvane-bench 4242
  install -m 0755 /dev/fd/$client /run/korvane-bench/connection_memory
  setpriv --reuid=4242 --regid=4242 --clear-groups \
    /run/korvane-bench/connection_memory /run/korvane-vesk/helper.sock "$helper" $2
  kill -TERM "$helper"
  wait "$helper"
' memory "$(pwd)" "${1:-}"
