#!/usr/bin/env bash
# Times one Vesk poll cycle over 20 mailboxes on a private Dovecot (mixed 0, 3
# and 50 messages) and compares it with other mail checkers doing a status
# check of the same 20 accounts one after another: fetchmail --check,
# mpop --status-only (pipelining off) and curl (LIST). Then measures what a
# running, idle Vesk costs: CPU time over 60 seconds and resident memory.
# Then times the siren at scale: 20 mailboxes of 250 messages each on a second
# private Dovecot, the siren-off cycle against the siren-on cycles with the
# From cache (the first cycle, and the later ones), and the memory of a From
# cache of 20 x 1,000 entries.
# Reports figures and ratios; never fails on a figure.
# Usage: bench/poll-cycle.sh [IDLE_SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
idle_seconds=${1:-60}
build="$root/build-bench"

"$root/scripts/deps.sh" program pop3 signals bench
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=ON >/dev/null

work=$(mktemp -d /tmp/vesk-bench-XXXXXX)
chmod 755 "$work"  # the server's own user must reach the mail
pop="$work/pop3"
big="$work/pop3-big"
vesk_pid=""
cleanup() {
  [ -n "$vesk_pid" ] && kill "$vesk_pid" 2>/dev/null || true
  "$root/scripts/fixtures/dovecot.sh" stop "$pop" >/dev/null 2>&1 || true
  "$root/scripts/fixtures/dovecot.sh" stop "$big" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"
bench_layout
start_kept_dovecot 2 2 "$pop" "${layout[@]}"
# shellcheck disable=SC1091
. "$pop/server.env"
echo "Dovecot on $VESK_POP3_HOST:$VESK_POP3_PORT with 20 mailboxes: ${layout[*]}"

echo
echo "== Vesk: one poll cycle over the 20 accounts (timer tick to LED decision)"
VESK_DOVECOT_DIR="$pop" "$build/bin/bench_poll_cycle" --benchmark_format=json >"$work/vesk.json"
vesk_ms() {
  python3 -c 'import json,sys
d=json.load(open(sys.argv[1]))
for b in d["benchmarks"]:
    if b["name"].startswith(sys.argv[2]): print("%.2f" % b["real_time"])' "$work/vesk.json" "$1"
}
stat_ms=$(vesk_ms BM_PollCycleStatOnly)
siren_ms=$(vesk_ms BM_PollCycleWithSiren)
echo "siren off (STAT only):       $stat_ms ms per cycle"
echo "siren on (later cycles, From cache): $siren_ms ms per cycle"

# A peer's time for the 20 accounts one after another, median of 5 runs, ms.
time_all() {
  local runs=() r start end
  for r in 1 2 3 4 5; do
    start=$(date +%s%N)
    while IFS=: read -r user pass _; do "$@" "$user" "$pass" >/dev/null 2>&1 || true; done <"$pop/users.txt"
    end=$(date +%s%N)
    runs+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n 3p | awk '{ printf "%.2f", $1 / 1000 }'
}

export FETCHMAILHOME="$work/fetchmail"
mkdir -p -m 700 "$FETCHMAILHOME"
fetchmail_check() {
  printf 'poll %s protocol pop3 port %s auth password user "%s" password "%s" sslproto "" no sslcertck\n' \
    "$VESK_POP3_HOST" "$VESK_POP3_PORT" "$1" "$2" >"$FETCHMAILHOME/rc"
  chmod 600 "$FETCHMAILHOME/rc"
  fetchmail --check -f "$FETCHMAILHOME/rc"
}
mpop_check() {
  mpop -C /dev/null --status-only --host="$VESK_POP3_HOST" --port="$VESK_POP3_PORT" --tls=off --auth=user \
    --pipelining=off --delivery=mbox,/dev/null --user="$1" --passwordeval="echo '$2'"
}
curl_check() { curl -s "pop3://$1:$2@$VESK_POP3_HOST:$VESK_POP3_PORT/"; }

# Each peer must really check every account before its time means anything
# (fetchmail answers 1 for an empty mailbox).
verify() {
  local name=$1 rc; shift
  while IFS=: read -r user pass _; do
    rc=0; "$@" "$user" "$pass" >/dev/null 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] && ! { [ "$name" = fetchmail ] && [ "$rc" -eq 1 ]; }; then
      echo "$name failed for $user (exit $rc); its time would mean nothing" >&2; exit 1
    fi
  done <"$pop/users.txt"
}
verify fetchmail fetchmail_check
verify mpop mpop_check
verify curl curl_check

echo
echo "== Peers: status check of the same 20 accounts, one process per account (median of 5 runs)"
fm=$(time_all fetchmail_check)
mp=$(time_all mpop_check)
cu=$(time_all curl_check)
echo "fetchmail --check:        $fm ms"
echo "mpop --status-only:       $mp ms"
echo "curl (LIST):              $cu ms"
fastest=$(printf '%s\n' "$fm" "$mp" "$cu" | sort -g | head -1)
python3 - "$stat_ms" "$siren_ms" "$fm" "$mp" "$cu" "$fastest" <<'PY'
import sys
s, siren, fm, mp, cu, fast = map(float, sys.argv[1:])
print()
print("Ratios (Vesk siren-off cycle / peer total; below 1 means Vesk is faster):")
for name, v in (("fetchmail", fm), ("mpop", mp), ("curl", cu)):
    print(f"  vs {name:9s} {s / v:.2f}")
print(f"Target: at most 0.5 of the fastest peer ({fast:.1f} ms): {'met' if s <= fast / 2 else 'NOT met'} ({s / fast:.2f})")
print(f"Siren-on cycle / fastest peer: {siren / fast:.2f}")
PY

echo
echo "== The siren at scale: 20 mailboxes of 250 messages (5,000 in all)"
big_layout=()
for i in $(seq 1 20); do big_layout+=("big$i:250"); done
start_kept_dovecot 2 2 "$big" "${big_layout[@]}"
VESK_DOVECOT_DIR="$big" "$build/bin/bench_poll_cycle" --benchmark_format=json \
  --benchmark_filter='BM_PollCycle|BM_FromCache' >"$work/big.json"
python3 - "$work/big.json" <<'PY'
import json, sys
b = {x["name"].split("/")[0]: x for x in json.load(open(sys.argv[1]))["benchmarks"]}
off = b["BM_PollCycleStatOnly"]["real_time"]
later = b["BM_PollCycleWithSiren"]
first = b["BM_PollCycleSirenFirst"]
cache = b["BM_FromCacheFill20x1000"]
print(f"siren off (STAT only):                  {off:.2f} ms per cycle")
print(f"siren on, first cycle (empty cache):    {first['real_time']:.2f} ms, "
      f"{first['tops_per_cycle']:.0f} TOPs, at most {first['most_tops_one_account']:.0f} for one account")
print(f"siren on, later cycles (nothing new):   {later['real_time']:.2f} ms, {later['tops_per_cycle']:.0f} TOPs per cycle")
ratio = later["real_time"] / off
print(f"Goal: later cycles at most 1.5 x siren off: {'met' if ratio <= 1.5 else 'NOT met'} ({ratio:.2f})")
most = first["most_tops_one_account"]
print(f"Goal: first cycle reads at most 1,000 From lines per account: {'met' if most <= 1000 else 'NOT met'} ({most:.0f})")
print(f"From cache of {cache['entries']:.0f} entries (20 x 1,000): {cache['heap_bytes'] / 1048576:.2f} MiB "
      f"of heap, {cache['bytes_per_entry']:.0f} bytes per entry")
PY
"$root/scripts/fixtures/dovecot.sh" stop "$big" >/dev/null 2>&1 || true

echo
echo "== Idle cost: Vesk running with nothing to do for ${idle_seconds} s"
cp "$root/build-bench/bin/Vesk" "$root/build-bench/bin/vesk-desktop" "$work/"
printf '[AccountConfig]\nCount=1\n[Account1]\nPOPServer=%s\nUserName=box1\nPassword=%s\nPortNumber=%s\n[Global Parameters]\nCheckInterval=3600\n' \
  "$VESK_POP3_HOST" "$(printf 'secret-box1' | base64 -w0)" "$VESK_POP3_PORT" >"$work/Vesk.ini"
QT_QPA_PLATFORM=offscreen "$work/Vesk" 2>/dev/null &
vesk_pid=$!
sleep 2
tick=$(getconf CLK_TCK)
cpu() { awk -v t="$tick" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$vesk_pid/stat"; }
before=$(cpu)
sleep "$idle_seconds"
after=$(cpu)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$vesk_pid/status")
python3 - "$before" "$after" "$rss" "$idle_seconds" <<'PY'
import sys
b, a, rss, secs = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
used = a - b
print(f"CPU time over {secs} idle seconds: {used:.3f} s (target: under 0.1 s for 60 s): {'met' if used < 0.1 * secs / 60 else 'NOT met'}")
print(f"Resident memory: {rss / 1024:.1f} MiB")
PY
