#!/usr/bin/env bash
# The whole-process benchmarks' shared logic (bench/whole-common.sh) on
# outputs written here, no server and no build: the counts read from Vesk's
# and fetchmail's output, the untimed check that a program reported every
# mailbox as the server holds it, and the medians and ratios reported from a
# hyperfine export. Usage: bench-common.sh SOURCE_DIR
set -uo pipefail
root="$1"
# shellcheck source=bench/whole-common.sh
. "$root/bench/whole-common.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/scripts/expect.sh
. "$(dirname "${BASH_SOURCE[0]}")/expect.sh"

# A server of three mailboxes, as scripts/fixtures/dovecot.sh records it.
printf 'box1:secret-box1:3\nbox2:secret-box2:50\nbox3:secret-box3:0\n' >"$work/users.txt"
held=$'box1 3\nbox2 50\nbox3 0'
expect "server counts" "$held" "$(server_counts "$work")"

# fetchmail -c over IMAP: total and seen, so 53 - 3 unseen; over POP3 a
# plain total with octets; its warnings and a summary line count nothing.
fetchmail_out='fetchmail: WARNING: Running as root is discouraged.
fetchmail: 53 messages (3 seen) for box2 at 127.0.0.1.
3 messages for box1 at 127.0.0.1 (2151 octets).
fetchmail: No mail for box3 at 127.0.0.1
fetchmail: 1 message for box4 at 127.0.0.1.'
expect "fetchmail counts" $'box1 3\nbox2 50\nbox3 0\nbox4 1' "$(fetchmail_counts <<<"$fetchmail_out")"
# Vesk: a failed account's line is no count.
vesk_out=$'box2\t50\nbox1\t3\nbox3\terror\tIMAP: login refused\n'
expect "Vesk counts" $'box1 3\nbox2 50' "$(vesk_counts <<<"$vesk_out")"

# check_report on a stand-in command that prints OUTPUT and exits with RC;
# prints the check's own exit (1: the benchmark would end there).
# shellcheck disable=SC2016  # the stand-in's script expands its own arguments
reported() {  # MAX_RC COUNTS RC OUTPUT
  (check_report "stand-in" "$work" "$1" "$2" sh -c 'printf "%s" "$2"; exit "$1"' - "$3" "$4") 2>/dev/null
  echo $?
}
all=$'box1\t3\nbox2\t50\nbox3\t0\n'
expect "every mailbox as held" 0 "$(reported 0 vesk_counts 0 "$all")"
expect "a mailbox missing" 1 "$(reported 0 vesk_counts 0 $'box1\t3\nbox2\t50\n')"
expect "a count wrong" 1 "$(reported 0 vesk_counts 0 $'box1\t3\nbox2\t49\nbox3\t0\n')"
expect "a mailbox twice" 1 "$(reported 0 vesk_counts 0 "$all"$'box3\t0\n')"
expect "a failed account" 1 "$(reported 0 vesk_counts 0 $'box1\t3\nbox2\t50\nbox3\terror\tno route\n')"
expect "an exit above the allowed" 1 "$(reported 0 vesk_counts 2 "$all")"
expect "fetchmail's exit 1 allowed" 0 \
  "$(reported 1 fetchmail_counts 1 $'No mail for box3 at h\n3 messages for box1 at h.\n50 messages for box2 at h.\n')"

# report_medians: medians (of an even count too), ratios pair by pair, the
# goal against the faster peer.
cat >"$work/three.json" <<'JSON'
{"results": [
 {"command": "Vesk --check", "times": [0.030, 0.010, 0.020, 0.040]},
 {"command": "mpop -a -s", "times": [0.100, 0.300, 0.200]},
 {"command": "fetchmail -c", "times": [0.050, 0.060, 0.040]}]}
JSON
expect "three commands" "Vesk --check   median     25.0 ms   (min 10.0, max 40.0)
mpop -a -s     median    200.0 ms   (min 100.0, max 300.0)
fetchmail -c   median     50.0 ms   (min 40.0, max 60.0)
Ratios: Vesk/mpop 0.12, Vesk/fetchmail 0.50, fetchmail/mpop 0.25
Goal: Vesk at most 0.5 x the faster peer (50.0 ms): met (0.50)" "$(report_medians "$work/three.json" 0.5)"
cat >"$work/two.json" <<'JSON'
{"results": [
 {"command": "Vesk --check", "times": [0.030]},
 {"command": "fetchmail -c", "times": [0.040]}]}
JSON
expect "two commands, goal missed" "Ratios: Vesk/fetchmail 0.75
Goal: Vesk at most 0.5 x fetchmail (40.0 ms): NOT met (0.75)" "$(report_medians "$work/two.json" 0.5 | tail -2)"

expect_summary
