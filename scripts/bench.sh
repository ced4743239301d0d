#!/usr/bin/env bash
# Benchmarks (not tests): verify_core on a 64 MiB Core beside a plain loop of
# 4096-byte reads into OpenSSL and `openssl dgst -sha256`, then the time of
# whole /start requests with a 64 MiB Core built in. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target verify_core_bench korvane_core_standin
build/default/bench-bin/verify_core_bench --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true

# The stand-in Core padded to 64 MiB still runs: the padding follows its image.
mkdir -p build/bench-start
big_core=$(pwd)/build/bench-start/KorvaneVeskCore
cp build/default/bin/KorvaneVeskCoreStandIn "$big_core"
truncate -s 64M "$big_core"
cmake --preset default -B build/bench-start/build -DKORVANE_CORE_EXECUTABLE="$big_core" \
  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_DESKTOP=OFF >/dev/null
cmake --build build/bench-start/build -j "$(nproc)" --target KorvaneVeskHelperService >/dev/null
unshare --mount --propagation private bash bench/start_bench.sh "$(pwd)/build/bench-start/build/bin"
