#!/usr/bin/env bash
# What push costs and brings, on private Dovecots (one plain, one that takes
# logins over TLS only):
#  1. Latency: a message renamed into an IMAP account's Maildir new/ until the
#     main window's LED decision lights the LED, over IMAP and over IMAPS with
#     a pinned certificate (bench_push; CheckInterval 600, so no timer cycle
#     is involved), against a 60 s poll's average wait.
#  2. Recovery: the plain server stopped, left down 1, 5, 10 and 20 s, started
#     again on the same ports; from the port accepting again to a delivery
#     made at that moment lighting the LED (bench_push).
#  3. Idle cost: the real program (bin/Vesk, offscreen) holding 20 IMAP
#     accounts open (10 plain, 10 IMAPS with pinned certificates): CPU time,
#     wake-ups and resident memory over IDLE_SECONDS, measured from /proc
#     once all 20 connections are up and the process has gone quiet.
# Reports figures against their goals; never fails on a figure.
# Usage: bench/push.sh [IDLE_SECONDS [DELIVERIES]]   (600 and 50)
#   VESK_BENCH_OUTAGES ("1 5 10 20") and VESK_BENCH_OUTAGE_RUNS (3) choose the
#   outages; VESK_BENCH_BUILD=DIR uses the programs already built in DIR.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
idle_seconds=${1:-600}
deliveries=${2:-50}
build="${VESK_BENCH_BUILD:-$root/build-bench}"

"$root/scripts/deps.sh" program pop3 tests
if [ -z "${VESK_BENCH_BUILD:-}" ]; then
  "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=ON >/dev/null
fi

echo "Load before: $(uptime)"
work=$(mktemp -d /tmp/vesk-push-XXXXXX)
chmod 755 "$work"  # the server's own user must reach the mail
plain="$work/plain"
tls="$work/tls"
vesk_pid=""
cleanup() {
  if [ -n "$vesk_pid" ]; then kill "$vesk_pid" 2>/dev/null || true; fi
  "$root/scripts/fixtures/dovecot.sh" stop "$plain" >/dev/null 2>&1 || true
  "$root/scripts/fixtures/dovecot.sh" stop "$tls" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# One user per account: several sessions at once on one fresh Maildir may
# be told UNSEEN 0 by Dovecot itself.
plain_users=(lat:0 rec:0)
tls_users=(lat:0)
for i in $(seq 1 10); do
  plain_users+=("idle$i:0")
  tls_users+=("idle$((i + 10)):0")
done
# Dovecot's default, written out: how often a client in IDLE is told
# "* OK Still here" (the idle cost counts those wake-ups apart).
export VESK_DOVECOT_EXTRA_CONF="imap_idle_notify_interval = 2 mins"
"$root/scripts/fixtures/dovecot.sh" start "$plain" "${plain_users[@]}" >/dev/null
"$root/scripts/fixtures/dovecot.sh" start "$tls" --tls "${tls_users[@]}" >/dev/null
# shellcheck disable=SC1091
. "$tls/server.env"
imaps_port=$VESK_IMAPS_PORT
pin=$VESK_POP3_FINGERPRINT
# shellcheck disable=SC1091
. "$plain/server.env"
imap_port=$VESK_IMAP_PORT
echo "Dovecot: IMAP on $VESK_POP3_HOST:$imap_port, IMAPS on $VESK_POP3_HOST:$imaps_port"

echo
echo "== Push latency ($deliveries deliveries each) and recovery after a restart"
VESK_DOVECOT_DIR="$plain" VESK_DOVECOT_TLS_DIR="$tls" VESK_BENCH_DELIVERIES="$deliveries" \
  VESK_BENCH_OUTAGES="${VESK_BENCH_OUTAGES:-1 5 10 20}" \
  "$build/bin/bench_push" --benchmark_format=json >"$work/push.json" 2>"$work/push.err" ||
  { cat "$work/push.err" >&2; exit 1; }
python3 - "$work/push.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
for b in runs:
    if b.get("error_occurred"):
        print(f"{b['name']}: {b.get('error_message')}")
lat = {b["name"].split("/")[0]: b for b in runs if b["name"].startswith("BM_PushLatency") and not b.get("error_occurred")}
print("Delivery (rename into new/) to LED lit; a 60 s poll waits 30,000 ms on average (half its interval)")
for name, label in (("BM_PushLatency", "IMAP"), ("BM_PushLatencyTls", "IMAPS, pinned"),
                    ("BM_PushLatencyAttentive", "IMAP, AttentiveWait=1 (default)")):
    if name not in lat:
        continue
    b = lat[name]
    print(f"  {label}: median {b['median_ms']:.0f} ms, 95th percentile {b['p95_ms']:.0f} ms "
          f"(min {b['min_ms']:.0f}, max {b['max_ms']:.0f}; {b['deliveries']:.0f} deliveries, "
          f"{b['lost_or_miscounted']:.0f} lost or miscounted, {b['not_waiting']:.0f} found the watch not waiting)")
    print(f"    goal median at most 1000 ms: {'met' if b['median_ms'] <= 1000 else 'NOT met'}; "
          f"the 60 s poll's average wait is {30000 / b['median_ms']:.0f} x as long")
rec = [b for b in runs if b["name"].startswith("BM_PushRecovery") and b.get("run_type") == "iteration"]
if rec:
    print()
    print("Recovery: outage (port closed to open) | watch's next attempt then | failed attempts | port open to LED lit")
for b in rec:
    if b.get("error_occurred"):
        continue
    ms = b["real_time"]
    print(f"  outage {b['outage_s']:5.1f} s | next attempt in {b['next_attempt_in_ms'] / 1000:5.1f} s | "
          f"{b['failed_attempts']:2.0f} failed | {ms / 1000:6.2f} s  (goal under 3 s: {'met' if ms < 3000 else 'NOT met'})")
PY
python3 - <<'PY'
# The back-off by arithmetic: after the drop a watch tries at once, then
# 1, 2, 4 ... 300 s apart (each pause up to a tenth longer). A server back
# after an outage of L seconds (from the drop) is found by the first attempt
# after L.
attempts, t, d = [0], 0, 1
while t < 1500:
    t += d
    attempts.append(t)
    d = min(d * 2, 300)
print("Back-off arithmetic: attempts at " + ", ".join(str(a) for a in attempts[:12]) + " ... s after the drop")
print("  outage -> wait for the next attempt (no jitter): " +
      ", ".join(f"{o} s -> {next(a for a in attempts if a > o) - o:g} s" for o in (1.2, 2.5, 3.5, 5.2, 8, 10.2, 13, 20.2, 40, 60, 120, 600)))
PY

echo
echo "== Idle cost: bin/Vesk holding 20 IMAP accounts (10 plain, 10 IMAPS) for $idle_seconds s"
ini="$work/idle.ini"
{
  n=0
  account() {  # USER PASSWORD PORT [EXTRA LINES]
    n=$((n + 1))
    printf '[Account%d]\nPOPServer=%s\nUserName=%s\nPassword=%s\nPortNumber=%s\nProtocol=1\n%b' \
      "$n" "$VESK_POP3_HOST" "$1" "$(printf '%s' "$2" | base64 -w0)" "$3" "${4:-}"
  }
  printf '[AccountConfig]\nCount=20\n'
  while IFS=: read -r user pass _; do
    case $user in idle*) account "$user" "$pass" "$imap_port" ;; esac
  done <"$plain/users.txt"
  while IFS=: read -r user pass _; do
    case $user in idle*) account "$user" "$pass" "$imaps_port" "Security=1\nFingerprint=$pin\n" ;; esac
  done <"$tls/users.txt"
  printf '[Global Parameters]\nCheckInterval=3600\n'
} >"$ini"
QT_QPA_PLATFORM=offscreen "$build/bin/Vesk" --ini "$ini" </dev/null >"$work/vesk.out" 2>"$work/vesk.err" &
vesk_pid=$!
tick=$(getconf CLK_TCK)
# Established connections to the two IMAP ports (only Vesk connects now).
held() {
  awk -v a="$(printf ':%04X' "$imap_port")" -v b="$(printf ':%04X' "$imaps_port")" \
    '$4 == "01" && (substr($3, length($3) - 4) == a || substr($3, length($3) - 4) == b) { n++ } END { print n + 0 }' \
    /proc/net/tcp
}
# Voluntary context switches of all the process's threads: its wake-ups.
wakeups() { cat "/proc/$vesk_pid"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'; }
# Up: all 20 held, and no wake-up for 2 s (the logins, counts, IDLE
# commands and first LED decisions are over). Checked twice a second, 120 s
# at most.
start_s=$(date +%s.%N)
quiet=0 last=-1 up_s=""
for _ in $(seq 1 240); do
  kill -0 "$vesk_pid" 2>/dev/null || { echo "Vesk ended:" >&2; cat "$work/vesk.err" >&2; exit 1; }
  if [ "$(held)" -ge 20 ]; then
    [ -n "$up_s" ] || up_s=$(date +%s.%N)
    w=$(wakeups)
    if [ "$w" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; fi
    last=$w
    [ "$quiet" -ge 4 ] && break
  fi
  sleep 0.5
done
if [ "$quiet" -lt 4 ]; then
  echo "Vesk did not hold 20 quiet connections within 120 s ($(held) held)" >&2
  cat "$work/vesk.err" >&2
  exit 1
fi
t0=$(date +%s.%N)
echo "20 connections held $(python3 -c "print(f'{$up_s - $start_s:.1f}')") s after the start, the process quiet" \
  "(no wake-up for 2 s) at $(python3 -c "print(f'{$t0 - $start_s:.1f}')") s: measured from then"
# A sample every second: seconds since t0, CPU ticks, wake-ups, VmRSS (KiB).
samples="$work/samples.txt"
python3 - "$vesk_pid" "$idle_seconds" "$samples" <<'PY' || { echo "Vesk ended during the idle time:" >&2; cat "$work/vesk.err" >&2; exit 1; }
import glob, sys, time
pid, secs, out = sys.argv[1], float(sys.argv[2]), sys.argv[3]
def row(t0):
    stat = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    wake = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        for line in open(status):
            if line.startswith("voluntary_ctxt_switches"):
                wake += int(line.split()[1])
    rss = next(int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS"))
    return f"{time.monotonic() - t0:.2f} {int(stat[11]) + int(stat[12])} {wake} {rss}\n"
t0 = time.monotonic()
with open(out, "w") as f:
    try:
        f.write(row(t0))
        for n in range(1, int(secs) + 1):
            time.sleep(max(0.0, t0 + min(n, secs) - time.monotonic()))
            f.write(row(t0))
    except (FileNotFoundError, ProcessLookupError):
        sys.exit(1)
PY
kill "$vesk_pid"
wait "$vesk_pid" 2>/dev/null || true
vesk_pid=""
python3 - "$samples" "$tick" "$idle_seconds" "$(python3 -c "print($up_s - $t0)")" <<'PY'
import sys
rows = [tuple(float(x) for x in line.split()) for line in open(sys.argv[1])]
tick, secs, up = float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
t0, c0, w0, r0 = rows[0]
t1, c1, w1, r1 = rows[-1]
cpu = (c1 - c0) / tick
# The IDLE of every account is renewed 600 s after it began, between the
# connections coming up and the process going quiet (t = 0): the wake-ups of
# the samples then are the renewals'. Dovecot tells every client in IDLE
# "* OK Still here" each imap_idle_notify_interval (2 min), all connections
# from one address at once: samples with wake-ups 2 min (+-3 s) apart are
# those. TCP keepalives are the kernel's and wake no one.
first, last = up + 600 - 5, 600 + 5
busy = [(tb, wb - wa) for (ta, _, wa, _), (tb, _, wb, _) in zip(rows, rows[1:]) if wb > wa]
in_renewal = sum(n for t, n in busy if first <= t <= last + 5)
still_here = sum(n for t, n in busy if not first <= t <= last + 5 and
                 any(u != t and abs(abs(u - t) - 120) <= 3 for u, _ in busy))
total = w1 - w0
print(f"CPU time (utime + stime) over {t1 - t0:.0f} s: {cpu:.2f} s "
      f"(goal at most 0.2 s for 600 s: {'met' if cpu <= 0.2 * (t1 - t0) / 600 else 'NOT met'})")
print(f"Wake-ups (voluntary context switches, all threads): {total:.0f} in all: {in_renewal:.0f} while the IDLEs "
      f"were renewed ({first:.0f} to {last:.0f} s), {still_here:.0f} in the server's 2-minute \"Still here\" bursts, "
      f"{total - in_renewal - still_here:.0f} besides")
print("  samples with wake-ups (s since the start of the measurement: count): "
      + (", ".join(f"{t:.0f}: {n:.0f}" for t, n in busy) or "none"))
print(f"Resident memory: {r0 / 1024:.1f} MiB at the start, {r1 / 1024:.1f} MiB at the end "
      f"(goal at most 40 MiB: {'met' if max(r0, r1) <= 40 * 1024 else 'NOT met'})")
PY
echo
echo "Load after: $(uptime)"
