#!/usr/bin/env bash
# Builds the POP3 receive-path fuzz target with clang (libFuzzer, address and
# undefined-behaviour sanitizers) and runs it. Usage: fuzz/run.sh [SECONDS]
# (default 60). Build folder: build-fuzz/ (or $VESK_FUZZ_BUILD); new inputs
# collect in its corpus/ folder, crashes in the current folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=${1:-60}
dir=${VESK_FUZZ_BUILD:-$root/build-fuzz}
command -v clang++ >/dev/null || { echo "fuzz/run.sh: clang++ is missing (scripts/deps.sh tools/fuzz)" >&2; exit 2; }
cmake -S "$root/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target fuzz_pop3_receive
mkdir -p "$dir/corpus"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
"$dir/fuzz_pop3_receive" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
  "$dir/corpus" "$root/fuzz/seeds"
