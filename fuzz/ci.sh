#!/usr/bin/env bash
# The fuzz step of CI: builds every libFuzzer target (clang, ASan + UBSan)
# and runs each for 20 seconds (or $1) from its seed corpus alone, so every
# run starts from the same inputs. Any crash, sanitizer report, leak or
# time-out fails the step; the crashing input is kept in
# build-fuzz/artifacts/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
corpus=$(mktemp -d "${TMPDIR:-/tmp}/vesk-fuzz-ci.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
"$here/../scripts/deps.sh" tools/fuzz
VESK_FUZZ_CORPUS=$corpus "$here/run.sh" "${1:-20}"
