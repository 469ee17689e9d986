#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers; undefined behaviour and leaks count as crashes) and runs each
# for SECONDS (default 60), one after the other.
#
#   fuzz/run.sh [SECONDS] [TARGET...]      TARGET: base64_decode, ini_roundtrip,
#                                          version_block, pop3_receive, ...
#                                          (default: every fuzz/*.cpp)
#
# Build folder: build-fuzz/ (or $VESK_FUZZ_BUILD). Each target starts from
# its seed corpus fuzz/seeds/TARGET/ and keeps the inputs it finds in
# build-fuzz/corpus/TARGET/ (or $VESK_FUZZ_CORPUS/TARGET/), so later runs go
# on from there; a crashing input is saved as build-fuzz/artifacts/TARGET-*.
# Prints executions and crashes per target at the end; the exit status is 1
# when any target crashed (or timed out, leaked or ran out of memory).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=${1:-60}
shift || true
dir=${VESK_FUZZ_BUILD:-$root/build-fuzz}
corpus_root=${VESK_FUZZ_CORPUS:-$dir/corpus}
command -v clang++ >/dev/null || { echo "fuzz/run.sh: clang++ is missing (scripts/deps.sh tools/fuzz)" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz/run.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

# Input size limits: large enough for the structures each target reads.
max_len() {
  case $1 in
    pop3_receive | pop3_tls) echo 20000 ;;
    ini_roundtrip) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

cmake -S "$root/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --parallel "${VESK_FUZZ_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

mkdir -p "$dir/artifacts" "$dir/logs"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp:${LSAN_OPTIONS:-}"

summary=()
failed=0
for t in "${targets[@]}"; do
  [ -d "$root/fuzz/seeds/$t" ] || { echo "fuzz/run.sh: no seed corpus fuzz/seeds/$t" >&2; exit 2; }
  mkdir -p "$corpus_root/$t"
  log="$dir/logs/$t.log"
  echo "== $t: ${seconds}s"
  status=0
  "$dir/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" \
    "$corpus_root/$t" "$root/fuzz/seeds/$t" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  crashes=0
  if [ "$status" -ne 0 ]; then
    crashes=1
    failed=1
    echo "fuzz/run.sh: $t failed (exit $status); end of $log:" >&2
    tail -n 40 "$log" >&2
  fi
  summary+=("$(printf '%-16s %8ss %14s executions %3s crashes' "$t" "$seconds" "${runs:-?}" "$crashes")")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
