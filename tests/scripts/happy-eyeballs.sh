#!/usr/bin/env bash
# bench/happy-eyeballs.sh's own logic on outputs written here, no namespace,
# server or build: the counts read from curl's and mpop's output, and the
# report made from the untimed probes and the timed medians.
# Usage: happy-eyeballs.sh SOURCE_DIR
set -uo pipefail
# shellcheck source=bench/happy-eyeballs.sh
. "$1/bench/happy-eyeballs.sh"
set +e
# shellcheck source=tests/scripts/expect.sh
. "$(dirname "${BASH_SOURCE[0]}")/expect.sh"

# curl's LIST: one line per message; an empty mailbox lists nothing.
expect "curl count" "box 3" "$(printf '1 290\r\n2 290\r\n3 290\r\n' | curl_counts)"
expect "curl, empty mailbox" "box 0" "$(printf '' | curl_counts)"
# mpop -s: the total, not only the new messages.
expect "mpop count" "box 3" "$(printf 'box at broken.bench.test:\nnew: 1 message in 290 bytes, total: 3 messages in 870 bytes\n' | mpop_counts)"

expect "report" "
== One account, healthy route against a black-holed first address
Vesk   healthy 12.5 ms            broken 260.0 ms             (+247.5 ms)
curl   healthy 14.0 ms            broken 219.0 ms             (+205.0 ms)
mpop   healthy 11.0 ms            broken stalled (> 20 s)
Goal: Vesk within 300 ms of its healthy time: met (+247.5 ms)" "$(he_report 20 <<'IN'
Vesk healthy probe 30
curl healthy probe 20
mpop healthy probe 15
Vesk healthy median 12.5
curl healthy median 14.0
mpop healthy median 11.0
Vesk broken probe 300
curl broken probe 250
mpop broken probe stalled
Vesk broken median 260.0
curl broken median 219.0
IN
)"
expect "Vesk over the goal" "Goal: Vesk within 300 ms of its healthy time: NOT met (+300.5 ms)" \
  "$(printf 'Vesk healthy median 10.0\nVesk broken median 310.5\n' | he_report 20 | tail -1)"
expect "Vesk stalled" "Goal: Vesk within 300 ms of its healthy time: NOT met (stalled)" \
  "$(printf 'Vesk healthy median 10.0\nVesk broken probe stalled\n' | he_report 20 | tail -1)"

expect_summary
