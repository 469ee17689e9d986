# shellcheck shell=bash disable=SC2154
# Sourced by the whole-process benchmarks (bench/whole-process.sh over POP3,
# bench/imap-check.sh over IMAP): the build they time, their work folder, the
# delaying relays, the configurations of Vesk and fetchmail, the check that a
# program reported every mailbox as the server holds it, and the timed
# comparison. Defines functions and settings only; the sourcing script sets
# `root` (the source tree) first, and `host` (the servers' address) before it
# starts a relay or writes a configuration.

# Every byte through a relay is held this long in each direction.
delay_ms=10
# VESK_BENCH_BUILD names a build folder to use as it is (with bin/Vesk).
build="${VESK_BENCH_BUILD:-$root/build-bench}"
# The folders of the servers stopped, and the relays ended, on exit.
servers=()
relay_pids=()

# whole_prepare NAME: installs what the benchmark needs, builds a Release
# Vesk into $build unless VESK_BENCH_BUILD names one, and makes the work
# folder $work (/tmp/vesk-NAME-XXXXXX), removed on exit with the relays and
# the servers; fetchmail keeps its state in a FETCHMAILHOME of its own there.
whole_prepare() {
  "$root/scripts/deps.sh"
  "$root/scripts/deps.sh" tools/bench
  if [ -z "${VESK_BENCH_BUILD:-}" ]; then
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=ON >/dev/null
  fi
  work=$(mktemp -d "/tmp/vesk-$1-XXXXXX")
  chmod 755 "$work"  # the server's own user must reach the mail
  trap whole_cleanup EXIT
  export FETCHMAILHOME="$work/fetchmail"
  mkdir -m 700 "$FETCHMAILHOME"
}

whole_cleanup() {
  local pid dir
  for pid in "${relay_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for dir in "${servers[@]}"; do "$root/scripts/fixtures/dovecot.sh" stop "$dir" >/dev/null 2>&1 || true; done
  rm -rf "$work"
}

# tls_pins DIR: sets pin_sha256 and pin_md5 to the fingerprints of the
# certificate of the server started with --tls in DIR (openssl's colon form).
tls_pins() {
  # shellcheck disable=SC2034  # for the sourcing script
  pin_sha256=$(sed -n 's/^VESK_POP3_FINGERPRINT=//p' "$1/server.env")
  # shellcheck disable=SC2034
  pin_md5=$(openssl x509 -in "$1/tls/server.pem" -noout -fingerprint -md5 | cut -d= -f2)
}

# start_relay PORT VAR: starts a relay to $host:PORT that delays by
# delay_ms (bench/delay-relay.py) and sets VAR to the relay's own port.
start_relay() {
  local port_file="$work/relay-$1.port" i
  python3 "$root/bench/delay-relay.py" "$host" "$1" "$delay_ms" "$port_file" &
  relay_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    [ -s "$port_file" ] && break
    sleep 0.05
  done
  [ -s "$port_file" ] || { echo "the relay to port $1 did not start" >&2; exit 1; }
  printf -v "$2" '%s' "$(cat "$port_file")"
}

# write_vesk_ini FILE DIR PORT [KEY=VALUE...]: one Vesk settings file with an
# account for each user of the server in DIR (named after the user), on
# $host:PORT, each with the given keys besides.
write_vesk_ini() {
  local file=$1 dir=$2 port=$3 i=0 user pass
  shift 3
  {
    printf '[AccountConfig]\nCount=%d\n' "$(wc -l <"$dir/users.txt")"
    while IFS=: read -r user pass _; do
      i=$((i + 1))
      printf '[Account%d]\nAccountName=%s\nPOPServer=%s\nPortNumber=%s\nUserName=%s\nPassword=%s\n' \
        "$i" "$user" "$host" "$port" "$user" "$(printf '%s' "$pass" | base64 -w0)"
      [ $# -eq 0 ] || printf '%s\n' "$@"
    done <"$dir/users.txt"
  } >"$file"
}

# write_fetchmail_rc FILE DIR PORT PROTOCOL [OPTION...]: one fetchmail rc
# file with a poll of PROTOCOL on $host:PORT for each user of the server in
# DIR, password login, each with the given options besides.
write_fetchmail_rc() {
  local file=$1 dir=$2 port=$3 protocol=$4 user pass
  shift 4
  while IFS=: read -r user pass _; do
    printf 'poll %s port %s proto %s auth password user "%s" password "%s" %s\n' \
      "$host" "$port" "$protocol" "$user" "$pass" "$*"
  done <"$dir/users.txt" >"$file"
  chmod 600 "$file"
}

# The counts a program reported, read from its output on stdin, as "USER
# COUNT" lines in the order of the names. vesk_counts reads Vesk's
# "NAME<TAB>COUNT" (the accounts are named after their users);
# fetchmail_counts reads fetchmail's "N messages (M seen) for USER at HOST",
# N - M of them unseen (over POP3 without a seen part: N), and "No mail for
# USER at HOST". server_counts prints what the server in DIR holds.
vesk_counts() { awk -F'\t' 'NF == 2 && $2 ~ /^[0-9]+$/ { print $1, $2 }' | sort; }
fetchmail_counts() {
  sed -nE 's/^(fetchmail: )?([0-9]+) messages? \(([0-9]+) seen\) for ([^ ]+) at .*/\4 \2 \3/p
s/^(fetchmail: )?([0-9]+) messages? for ([^ ]+) at .*/\3 \2 0/p
s/^(fetchmail: )?No mail for ([^ ]+) at .*/\2 0 0/p' | awk '{ print $1, $2 - $3 }' | sort
}
server_counts() { awk -F: '{ print $1, $3 }' "$1/users.txt" | sort; }

# check_report WHAT DIR MAX_RC COUNTS COMMAND...: runs COMMAND once, untimed.
# It must exit with at most MAX_RC and report, as COUNTS (vesk_counts or
# fetchmail_counts) reads its output, every mailbox of the server in DIR
# once with the count the server holds; otherwise the benchmark ends with
# what the command printed.
check_report() {
  local what=$1 dir=$2 max_rc=$3 counts=$4 out rc=0
  shift 4
  out=$(env -u DISPLAY "$@" 2>&1) || rc=$?
  if [ "$rc" -gt "$max_rc" ] || [ "$("$counts" <<<"$out")" != "$(server_counts "$dir")" ]; then
    echo "$what did not report every mailbox as the server holds it (exit $rc):" >&2
    echo "$out" >&2
    exit 1
  fi
}

# time_commands TAG RUNS TITLE GOAL WARMUP NAME COMMAND [NAME COMMAND...]:
# times the commands, Vesk's first and then its peers', in one hyperfine run
# (no shell, WARMUP untimed runs of each first) and reports on them
# (report_medians).
time_commands() {
  local tag=$1 runs=$2 title=$3 goal=$4 warmup=$5 named=()
  shift 5
  while [ $# -gt 0 ]; do
    named+=(-n "$1" "$2")
    shift 2
  done
  echo
  echo "== $title: whole process, 20 accounts, median of $runs runs"
  env -u DISPLAY hyperfine -N --warmup "$warmup" --runs "$runs" --ignore-failure --style none \
    --export-json "$work/$tag.json" "${named[@]}" >/dev/null
  report_medians "$work/$tag.json" "$goal"
}

# report_medians JSON GOAL: from hyperfine's JSON export, prints each
# command's median, the ratios of those medians (the first command, Vesk, to
# each of the others, its peers; then peer to peer) and whether Vesk took at
# most GOAL times the faster peer's median. Reports; never fails on a figure.
report_medians() {
  python3 - "$1" "$2" <<'PY'
import json, statistics, sys
results = json.load(open(sys.argv[1]))["results"]
goal = float(sys.argv[2])
names = [r["command"] for r in results]
short = [n.split()[0] for n in names]
med = [statistics.median(r["times"]) * 1000 for r in results]
for name, m, r in zip(names, med, results):
    t = [x * 1000 for x in r["times"]]
    print(f"{name:14s} median {m:8.1f} ms   (min {min(t):.1f}, max {max(t):.1f})")
peers = range(1, len(med))
pairs = [(0, p) for p in peers] + [(q, p) for p in peers for q in peers if q > p]
print("Ratios: " + ", ".join(f"{short[a]}/{short[b]} {med[a] / med[b]:.2f}" for a, b in pairs))
faster = min(peers, key=lambda p: med[p])
than = "the faster peer" if len(peers) > 1 else short[faster]
print(f"Goal: {short[0]} at most {goal} x {than} ({med[faster]:.1f} ms): "
      f"{'met' if med[0] <= goal * med[faster] else 'NOT met'} ({med[0] / med[faster]:.2f})")
PY
}
