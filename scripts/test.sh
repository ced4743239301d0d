#!/usr/bin/env bash
# Builds and runs every test suite: the optimised build and the
# AddressSanitizer + UndefinedBehaviorSanitizer build; then builds the
# Debian package and tests it installed (scripts/package_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in default asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j 2
done
echo "== package"
scripts/package_test.sh
