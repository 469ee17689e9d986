#!/usr/bin/env bash
# What TLS costs a poll cycle: Vesk checks 20 mailboxes of a private Dovecot
# over POP3S and in plain text (one process, one cycle timed from the timer's
# tick to the LED decision), and mpop checks the same 20 accounts with one
# config file in one process (mpop -a -s), with TLS and without. Reports wall
# time and CPU time per account; the difference between the TLS and the
# plain figure is what a handshake and the encryption cost. Medians of 5 runs
# for mpop; Google Benchmark's figures for Vesk. Never fails on a figure.
# Usage: bench/tls-cycle.sh   (VESK_BENCH_BUILD=DIR uses the bench programs
# already built in DIR instead of building build-bench/ in Release mode)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VESK_BENCH_BUILD:-$root/build-bench}"

"$root/scripts/deps.sh" program pop3 signals bench
if [ -z "${VESK_BENCH_BUILD:-}" ]; then
  "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=ON >/dev/null
fi

work=$(mktemp -d /tmp/vesk-bench-tls-XXXXXX)
chmod 755 "$work"
pop="$work/pop3"
cleanup() {
  "$root/scripts/fixtures/dovecot.sh" stop "$pop" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

layout=()
for i in $(seq 1 20); do layout+=("box$i:3"); done
# Login and mail processes kept running, as in bench/poll-cycle.sh.
# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"
start_kept_dovecot 2 2 "$pop" --tls "${layout[@]}"
# shellcheck disable=SC1091
. "$pop/server.env"
export SSL_CERT_FILE="$VESK_POP3_CA"
echo "Dovecot with TLS: POP3S on $VESK_POP3S_PORT, plain (STLS) on $VESK_POP3_PORT, 20 mailboxes of 3 messages"

vesk_run() {  # SECURITY -> "wall_ms cpu_ms" per cycle
  VESK_BENCH_SECURITY=$1 VESK_DOVECOT_DIR="$pop" "$build/bin/bench_poll_cycle" \
    --benchmark_filter=BM_PollCycleStatOnly --benchmark_format=json >"$work/vesk$1.json"
  python3 -c 'import json,sys
b=json.load(open(sys.argv[1]))["benchmarks"][0]
print("%.3f %.3f" % (b["real_time"], b["cpu_time"]))' "$work/vesk$1.json"
}
read -r v_plain_wall v_plain_cpu < <(vesk_run 0)
read -r v_tls_wall v_tls_cpu < <(vesk_run 1)

mpop_config() {  # TLS(on|off) PORT
  {
    printf 'defaults\nauth user\npipelining off\ndelivery mbox /dev/null\ntls %s\ntls_starttls off\n' "$1"
    [ "$1" = on ] && printf 'tls_trust_file %s\n' "$VESK_POP3_CA"
    while IFS=: read -r user pass _; do
      printf '\naccount %s\nhost %s\nport %s\nuser %s\npassword %s\n' "$user" "$VESK_POP3_HOST" "$2" "$user" "$pass"
    done <"$pop/users.txt"
  } >"$work/mpop-$1.conf"
  chmod 600 "$work/mpop-$1.conf"
}
mpop_config off "$VESK_POP3_PORT"
mpop_config on "$VESK_POP3S_PORT"
mpop_run() {  # TLS(on|off) -> "wall_ms cpu_ms" for all 20 accounts, medians of 5
  python3 - "$work/mpop-$1.conf" <<'PY'
import resource, subprocess, sys, time
walls, cpus = [], []
for _ in range(5):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    r = subprocess.run(["mpop", "-C", sys.argv[1], "-a", "-s"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    walls.append((time.perf_counter() - start) * 1000)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpus.append((after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000)
    if r.returncode != 0:
        sys.exit("mpop failed: " + r.stderr.decode(errors="replace"))
walls.sort(); cpus.sort()
print("%.3f %.3f" % (walls[2], cpus[2]))
PY
}
read -r m_plain_wall m_plain_cpu < <(mpop_run off)
read -r m_tls_wall m_tls_cpu < <(mpop_run on)

python3 - "$v_plain_wall" "$v_plain_cpu" "$v_tls_wall" "$v_tls_cpu" \
  "$m_plain_wall" "$m_plain_cpu" "$m_tls_wall" "$m_tls_cpu" <<'PY'
import sys
vpw, vpc, vtw, vtc, mpw, mpc, mtw, mtc = (float(a) / 20 for a in sys.argv[1:])
print()
print("Per account (20 accounts, ms)   wall plain  wall TLS   CPU plain  CPU TLS   CPU of TLS")
print(f"Vesk (one poll cycle)           {vpw:9.2f} {vtw:9.2f}  {vpc:9.2f} {vtc:8.2f}  {vtc - vpc:9.2f}")
print(f"mpop -a -s (one process)        {mpw:9.2f} {mtw:9.2f}  {mpc:9.2f} {mtc:8.2f}  {mtc - mpc:9.2f}")
print()
print("Vesk's CPU time is its GUI thread's (all its TLS work runs there); mpop's is the whole process.")
print(f"Ratio of the TLS cost (Vesk / mpop): {(vtc - vpc) / (mtc - mpc):.2f}" if mtc > mpc else "")
PY
