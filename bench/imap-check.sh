#!/usr/bin/env bash
# Times whole processes checking the same 20 IMAP mailboxes on a private
# Dovecot, each with one configuration holding all 20 accounts: `Vesk --check`
# (Protocol=1) and `fetchmail -c` (one rc file of 20 IMAP polls). Both look
# at INBOX and count its unseen messages, Vesk by STATUS, fetchmail by
# EXAMINE and SEARCH UNSEEN, and each must report every mailbox with the
# count the server holds before it is timed. As bench/whole-process.sh does
# over POP3: on plain loopback, through the relay on loopback that delays
# every byte by 10 ms each way (bench/delay-relay.py), and then both again
# over IMAPS (TLS from the first byte) on a second Dovecot that takes logins
# over TLS only, where each program accepts the server's certificate by its
# pinned fingerprint (Vesk's SHA-256, fetchmail's MD5 with no sslcertck) and
# checks nothing else. Every account has a user of its own: 20 sessions at
# once on one mailbox are not what a watcher of 20 accounts does. Each
# command is timed by hyperfine (no shell, warm-up runs first); the figures
# are medians, the ratio is taken from the medians of the same run. Reports;
# never fails on a figure.
# Usage: bench/imap-check.sh [RUNS_LOOPBACK [RUNS_RELAY]]
#   (the IMAPS runs take the same numbers of runs)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs_loop=${1:-31}
runs_relay=${2:-9}

# shellcheck source=bench/whole-common.sh
. "$root/bench/whole-common.sh"
# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"
whole_prepare imap
imap="$work/imap"
imaps="$work/imaps"
servers=("$imap" "$imaps")

bench_layout
# 20 IMAP processes kept ready for Vesk's 20 sessions at once; fetchmail, one
# account after another, uses one or two of them.
start_kept_dovecot --imap 4 20 "$imap" "${layout[@]}"
start_kept_dovecot --imap 4 20 "$imaps" --tls "${layout[@]}"
# shellcheck disable=SC1091
. "$imaps/server.env"
imaps_port=$VESK_IMAPS_PORT
tls_pins "$imaps"
# shellcheck disable=SC1091
. "$imap/server.env"
host=$VESK_POP3_HOST
echo "Dovecot with IMAP on $host:$VESK_IMAP_PORT, 20 mailboxes: ${layout[*]}"
echo "Dovecot with IMAPS on $host:$imaps_port, the same mailboxes"

start_relay "$VESK_IMAP_PORT" relay_port
start_relay "$imaps_port" relay_tls_port
# shellcheck disable=SC2154  # both set by start_relay
echo "Relays on $host:$relay_port and $host:$relay_tls_port add $delay_ms ms each way"

# Both programs' configurations for the 20 accounts behind PORT; with
# TLS=tls over IMAPS, the certificate pinned. Plain fetchmail is kept from
# trying STARTTLS (sslproto "").
write_configs() {
  local tag=$1 port=$2 tls=${3:-} dir=$imap
  local vesk_tls=() fetchmail_tls='sslproto "" no sslcertck'
  if [ "$tls" = tls ]; then
    dir=$imaps
    vesk_tls=(Security=1 "Fingerprint=$pin_sha256")
    fetchmail_tls="ssl no sslcertck sslfingerprint \"$pin_md5\""
  fi
  write_vesk_ini "$work/vesk-$tag.ini" "$dir" "$port" Protocol=1 Folder=INBOX "${vesk_tls[@]}"
  write_fetchmail_rc "$work/fetchmail-$tag.rc" "$dir" "$port" imap "$fetchmail_tls"
}
write_configs loop "$VESK_IMAP_PORT"
write_configs relay "$relay_port"
write_configs loop-tls "$imaps_port" tls
write_configs relay-tls "$relay_tls_port" tls

vesk=("$build/bin/Vesk" --check --ini)
fetchmail_cmd=(fetchmail -c -f)

# Checks both outputs once (fetchmail's exit 1 only means no mail anywhere),
# then times the two commands. The first comparison on each server warms its
# 20 mail processes with 30 runs of each command, as in bench/whole-process.sh.
compare() {
  local tag=$1 runs=$2 title=$3 goal=$4 warmup=${5:-3} dir=$imap
  [[ $tag == *-tls ]] && dir=$imaps
  check_report "Vesk --check ($tag)" "$dir" 0 vesk_counts "${vesk[@]}" "$work/vesk-$tag.ini"
  check_report "fetchmail -c ($tag)" "$dir" 1 fetchmail_counts "${fetchmail_cmd[@]}" "$work/fetchmail-$tag.rc"
  time_commands "$tag" "$runs" "$title" "$goal" "$warmup" \
    "Vesk --check" "${vesk[*]} $work/vesk-$tag.ini" \
    "fetchmail -c" "${fetchmail_cmd[*]} $work/fetchmail-$tag.rc"
}

compare loop "$runs_loop" "IMAP, plain loopback" 0.5 30
compare relay "$runs_relay" "IMAP, through the relay (+$delay_ms ms each way)" 0.1
compare loop-tls "$runs_loop" "IMAPS, plain loopback" 0.5 30
compare relay-tls "$runs_relay" "IMAPS, through the relay (+$delay_ms ms each way)" 0.1
