#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (and ASan+UBSan) and runs
# each for a number of executions: scripts/fuzz.sh [runs]  (default 1000000).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1000000}
scripts/setup.sh
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
  -DKORVANE_LIBFUZZER=ON -DKORVANE_BUILD_DESKTOP=OFF >/dev/null
for target in request_guard ping_query json_records; do
  cmake --build build/fuzz --target "fuzz_$target" -j "$(nproc)" >/dev/null
  work=$(mktemp -d)
  cp fuzz/corpus/"$target"/* "$work"/
  echo "== $target"
  build/fuzz/bin/"fuzz_$target" -runs="$runs" -max_len=4096 "$work" 2>&1 |
    grep -E '^Done|DONE|ERROR|SUMMARY' || true
  rm -rf "$work"
done
