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
delay_ms=10
# VESK_BENCH_BUILD names a build folder to use as it is (with bin/Vesk).
build="${VESK_BENCH_BUILD:-$root/build-bench}"

"$root/scripts/deps.sh"
"$root/scripts/deps.sh" tools/bench
if [ -z "${VESK_BENCH_BUILD:-}" ]; then
  "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=ON >/dev/null
fi

work=$(mktemp -d /tmp/vesk-whole-XXXXXX)
chmod 755 "$work"  # the server's own user must reach the mail
pop="$work/pop3"
pops="$work/pop3s"
relay_pids=()
cleanup() {
  for pid in "${relay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$root/scripts/fixtures/dovecot.sh" stop "$pop" >/dev/null 2>&1 || true
  "$root/scripts/fixtures/dovecot.sh" stop "$pops" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"
bench_layout
# 20 mail processes are kept ready for 20 sessions at once, as a server with
# that many users at a time is set up; the checkers that go one account after
# another use a few of them and lose nothing.
start_kept_dovecot 4 20 "$pop" "${layout[@]}"
start_kept_dovecot 4 20 "$pops" --tls "${layout[@]}"
# shellcheck disable=SC1091
. "$pops/server.env"
pop3s_port=$VESK_POP3S_PORT
pin_sha256=$VESK_POP3_FINGERPRINT
pin_md5=$(openssl x509 -in "$pops/tls/server.pem" -noout -fingerprint -md5 | cut -d= -f2)
# shellcheck disable=SC1091
. "$pop/server.env"
host=$VESK_POP3_HOST
echo "Dovecot on $host:$VESK_POP3_PORT with 20 mailboxes: ${layout[*]}"
echo "Dovecot with POP3S on $host:$pop3s_port, the same mailboxes"

# Starts a relay to PORT that delays by delay_ms; its port is then in
# $work/relay-PORT.port.
start_relay() {
  local port_file="$work/relay-$1.port"
  python3 "$root/bench/delay-relay.py" "$host" "$1" "$delay_ms" "$port_file" &
  relay_pids+=($!)
  for _ in $(seq 1 100); do [ -s "$port_file" ] && break; sleep 0.05; done
}
start_relay "$VESK_POP3_PORT"
start_relay "$pop3s_port"
relay_port=$(cat "$work/relay-$VESK_POP3_PORT.port")
relay_tls_port=$(cat "$work/relay-$pop3s_port.port")
echo "Relays on $host:$relay_port and $host:$relay_tls_port add $delay_ms ms each way"

export FETCHMAILHOME="$work/fetchmail"
mkdir -p -m 700 "$FETCHMAILHOME"

# One configuration of each program for the 20 accounts behind PORT; with
# TLS=tls over POP3S, the certificate pinned.
write_configs() {
  local tag=$1 port=$2 tls=${3:-} i=0 user pass
  local vesk_tls="" mpop_tls="tls off" fetchmail_tls='sslproto "" no sslcertck'
  if [ "$tls" = tls ]; then
    vesk_tls="Security=1\nFingerprint=$pin_sha256\n"
    mpop_tls="tls on\ntls_starttls off\ntls_fingerprint $pin_sha256"
    fetchmail_tls="ssl no sslcertck sslfingerprint \"$pin_md5\""
  fi
  {
    printf '[AccountConfig]\nCount=20\n'
    while IFS=: read -r user pass _; do
      i=$((i + 1))
      printf '[Account%d]\nAccountName=%s\nPOPServer=%s\nPortNumber=%s\nUserName=%s\nPassword=%s\nAPOP=0\n'"$vesk_tls" \
        "$i" "$user" "$host" "$port" "$user" "$(printf '%s' "$pass" | base64 -w0)"
    done <"$pop/users.txt"
  } >"$work/vesk-$tag.ini"
  {
    printf 'defaults\n%b\nauth user\npipelining off\ndelivery mbox /dev/null\n' "$mpop_tls"
    while IFS=: read -r user pass _; do
      printf '\naccount %s\nhost %s\nport %s\nuser %s\npassword %s\n' "$user" "$host" "$port" "$user" "$pass"
    done <"$pop/users.txt"
  } >"$work/mpop-$tag.conf"
  while IFS=: read -r user pass _; do
    printf 'poll %s port %s proto pop3 auth password user "%s" password "%s" %s\n' \
      "$host" "$port" "$user" "$pass" "$fetchmail_tls"
  done <"$pop/users.txt" >"$work/fetchmail-$tag.rc"
  chmod 600 "$work/mpop-$tag.conf" "$work/fetchmail-$tag.rc"
}
write_configs loop "$VESK_POP3_PORT"
write_configs relay "$relay_port"
write_configs loop-tls "$pop3s_port" tls
write_configs relay-tls "$relay_tls_port" tls

vesk=("$build/bin/Vesk" --check --ini)
mpop_cmd=(mpop -a -s -C)
fetchmail_cmd=(fetchmail -c -f)

# Every program must really check every account before its time means
# anything: Vesk prints 20 counts, mpop one status line per account,
# fetchmail one line per poll (exit 1 only means no mail anywhere).
verify() {
  local tag=$1 out rc
  rc=0; out=$(env -u DISPLAY "${vesk[@]}" "$work/vesk-$tag.ini" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ] || [ "$(grep -c $'\t[0-9]*$' <<<"$out")" -ne 20 ]; then
    echo "Vesk --check ($tag) did not check all 20 accounts (exit $rc):" >&2; echo "$out" >&2; exit 1
  fi
  rc=0; out=$("${mpop_cmd[@]}" "$work/mpop-$tag.conf" 2>&1) || rc=$?
  if [ "$rc" -ne 0 ] || [ "$(grep -c 'message' <<<"$out")" -lt 20 ]; then
    echo "mpop ($tag) did not check all 20 accounts (exit $rc):" >&2; echo "$out" >&2; exit 1
  fi
  rc=0; out=$("${fetchmail_cmd[@]}" "$work/fetchmail-$tag.rc" 2>&1) || rc=$?
  if [ "$rc" -gt 1 ] || [ "$(grep -cE 'messages? for |No mail for ' <<<"$out")" -ne 20 ]; then
    echo "fetchmail ($tag) did not check all 20 accounts (exit $rc):" >&2; echo "$out" >&2; exit 1
  fi
}

# Times the three commands in one hyperfine run and prints medians and ratios.
# WARMUP runs of each come first, untimed. A freshly started Dovecot's mail
# processes each need several sessions before they are fast: a checker that
# opens 20 sessions at once meets all 20 of them cold, one that goes account
# by account only one or two, so the first comparison on each server warms
# them with 30 runs of every command (about 30 of Vesk's runs on loopback
# were slower than the rest when this was measured).
compare() {
  local tag=$1 runs=$2 title=$3 goal=$4 warmup=${5:-3}
  verify "$tag"
  echo
  echo "== $title: whole process, 20 accounts, median of $runs runs"
  env -u DISPLAY hyperfine -N --warmup "$warmup" --runs "$runs" --ignore-failure --style none \
    --export-json "$work/$tag.json" \
    -n "Vesk --check" "${vesk[*]} $work/vesk-$tag.ini" \
    -n "mpop -a -s" "${mpop_cmd[*]} $work/mpop-$tag.conf" \
    -n "fetchmail -c" "${fetchmail_cmd[*]} $work/fetchmail-$tag.rc" >/dev/null
  python3 - "$work/$tag.json" "$goal" <<'PY'
import json, statistics, sys
results = json.load(open(sys.argv[1]))["results"]
goal = float(sys.argv[2])
med = {r["command"]: statistics.median(r["times"]) * 1000 for r in results}
for r in results:
    t = [x * 1000 for x in r["times"]]
    print(f"{r['command']:14s} median {med[r['command']]:8.1f} ms   (min {min(t):.1f}, max {max(t):.1f})")
v, m, f = med["Vesk --check"], med["mpop -a -s"], med["fetchmail -c"]
print(f"Ratios: Vesk/mpop {v / m:.2f}, Vesk/fetchmail {v / f:.2f}, fetchmail/mpop {f / m:.2f}")
faster = min(m, f)
print(f"Goal: Vesk at most {goal} x the faster peer ({faster:.1f} ms): "
      f"{'met' if v <= goal * faster else 'NOT met'} ({v / faster:.2f})")
PY
}

compare loop "$runs_loop" "Plain loopback" 0.7 30
compare relay "$runs_relay" "Through the relay (+$delay_ms ms each way)" 0.25
compare loop-tls "$runs_loop" "POP3S, plain loopback" 0.7 30
compare relay-tls "$runs_relay" "POP3S, through the relay (+$delay_ms ms each way)" 0.25
