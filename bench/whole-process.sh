#!/usr/bin/env bash
# Times whole processes checking the same 20 mailboxes on a private Dovecot,
# each with one configuration holding all 20 accounts: `Vesk --check`,
# `mpop -a -s` and `fetchmail -c`. Runs on plain loopback, through a relay on
# loopback that delays every byte by 10 ms each way (bench/delay-relay.py;
# the kernel's netem is not available here), and then both again over POP3S
# on a second Dovecot that takes logins over TLS only; there every program
# accepts the server's certificate by its pinned fingerprint (Vesk's and
# mpop's SHA-256 pin, fetchmail's MD5 one), so none checks a chain or a name
# the others skip. Each
# command is timed by hyperfine (no shell, warm-up runs first); the figures
# are medians, and the ratios are taken pair by pair from the medians of the
# same run. Reports; never fails on a figure.
# Usage: bench/whole-process.sh [RUNS_LOOPBACK [RUNS_RELAY]]
#   (the POP3S runs take the same numbers of runs)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs_loop=${1:-31}
runs_relay=${2:-9}

# shellcheck source=bench/whole-common.sh
. "$root/bench/whole-common.sh"
# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"
whole_prepare whole
pop="$work/pop3"
pops="$work/pop3s"
servers=("$pop" "$pops")

bench_layout
# 20 mail processes are kept ready for 20 sessions at once, as a server with
# that many users at a time is set up; the checkers that go one account after
# another use a few of them and lose nothing.
start_kept_dovecot 4 20 "$pop" "${layout[@]}"
start_kept_dovecot 4 20 "$pops" --tls "${layout[@]}"
# shellcheck disable=SC1091
. "$pops/server.env"
pop3s_port=$VESK_POP3S_PORT
tls_pins "$pops"
# shellcheck disable=SC1091
. "$pop/server.env"
host=$VESK_POP3_HOST
echo "Dovecot on $host:$VESK_POP3_PORT with 20 mailboxes: ${layout[*]}"
echo "Dovecot with POP3S on $host:$pop3s_port, the same mailboxes"

start_relay "$VESK_POP3_PORT" relay_port
start_relay "$pop3s_port" relay_tls_port
# shellcheck disable=SC2154  # both set by start_relay
echo "Relays on $host:$relay_port and $host:$relay_tls_port add $delay_ms ms each way"

# One configuration of each program for the 20 accounts behind PORT; with
# TLS=tls over POP3S, the certificate pinned.
write_configs() {
  local tag=$1 port=$2 tls=${3:-} user pass
  local vesk_tls=() mpop_tls="tls off" fetchmail_tls='sslproto "" no sslcertck'
  if [ "$tls" = tls ]; then
    vesk_tls=(Security=1 "Fingerprint=$pin_sha256")
    mpop_tls="tls on\ntls_starttls off\ntls_fingerprint $pin_sha256"
    fetchmail_tls="ssl no sslcertck sslfingerprint \"$pin_md5\""
  fi
  write_vesk_ini "$work/vesk-$tag.ini" "$pop" "$port" APOP=0 "${vesk_tls[@]}"
  {
    printf 'defaults\n%b\nauth user\npipelining off\ndelivery mbox /dev/null\n' "$mpop_tls"
    while IFS=: read -r user pass _; do
      printf '\naccount %s\nhost %s\nport %s\nuser %s\npassword %s\n' "$user" "$host" "$port" "$user" "$pass"
    done <"$pop/users.txt"
  } >"$work/mpop-$tag.conf"
  chmod 600 "$work/mpop-$tag.conf"
  write_fetchmail_rc "$work/fetchmail-$tag.rc" "$pop" "$port" pop3 "$fetchmail_tls"
}
write_configs loop "$VESK_POP3_PORT"
write_configs relay "$relay_port"
write_configs loop-tls "$pop3s_port" tls
write_configs relay-tls "$relay_tls_port" tls

vesk=("$build/bin/Vesk" --check --ini)
mpop_cmd=(mpop -a -s -C)
fetchmail_cmd=(fetchmail -c -f)

# Every program must really check every account before its time means
# anything: Vesk and fetchmail must report every mailbox's count (fetchmail's
# exit 1 only means no mail anywhere), mpop one status line per account.
verify() {
  local tag=$1 out rc=0
  check_report "Vesk --check ($tag)" "$pop" 0 vesk_counts "${vesk[@]}" "$work/vesk-$tag.ini"
  out=$("${mpop_cmd[@]}" "$work/mpop-$tag.conf" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ] || [ "$(grep -c 'message' <<<"$out")" -lt 20 ]; then
    echo "mpop ($tag) did not check all 20 accounts (exit $rc):" >&2; echo "$out" >&2; exit 1
  fi
  check_report "fetchmail -c ($tag)" "$pop" 1 fetchmail_counts "${fetchmail_cmd[@]}" "$work/fetchmail-$tag.rc"
}

# Checks the outputs once, then times the three commands (time_commands).
# WARMUP runs of each come first, untimed. A freshly started Dovecot's mail
# processes each need several sessions before they are fast: a checker that
# opens 20 sessions at once meets all 20 of them cold, one that goes account
# by account only one or two, so the first comparison on each server warms
# them with 30 runs of every command (about 30 of Vesk's runs on loopback
# were slower than the rest when this was measured).
compare() {
  local tag=$1 runs=$2 title=$3 goal=$4 warmup=${5:-3}
  verify "$tag"
  time_commands "$tag" "$runs" "$title" "$goal" "$warmup" \
    "Vesk --check" "${vesk[*]} $work/vesk-$tag.ini" \
    "mpop -a -s" "${mpop_cmd[*]} $work/mpop-$tag.conf" \
    "fetchmail -c" "${fetchmail_cmd[*]} $work/fetchmail-$tag.rc"
}

compare loop "$runs_loop" "Plain loopback" 0.7 30
compare relay "$runs_relay" "Through the relay (+$delay_ms ms each way)" 0.25
compare loop-tls "$runs_loop" "POP3S, plain loopback" 0.7 30
compare relay-tls "$runs_relay" "POP3S, through the relay (+$delay_ms ms each way)" 0.25
