#!/usr/bin/env bash
# Installs what is missing (every list in scripts/packages/), builds Vesk
# with its tests and runs them all.
# Set VESK_SANITIZE=1 for the AddressSanitizer + UndefinedBehaviorSanitizer
# build (in build-asan/).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh"
if [ "${VESK_SANITIZE:-0}" = 1 ]; then
  dir="$root/build-asan"
  opts=(-DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON)
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
  export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp:${LSAN_OPTIONS:-}"
else
  dir="$root/build-test"
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
"$root/scripts/build.sh" "$dir" "${opts[@]}" -DVESK_TESTS=ON
cd "$dir"
ctest --output-on-failure -j "$(nproc)" --timeout 600
