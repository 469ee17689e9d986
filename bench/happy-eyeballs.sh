#!/usr/bin/env bash
# Times the check of one account on a name whose first-sorted address is
# black-holed while its IPv4 address works: `Vesk --check`, `curl pop3://`
# (LIST) and `mpop -s`, each also on a name with a healthy route.
#
# Everything runs in a private mount and network namespace (unshare -mn, as
# root): loopback up; a veth pair with 2001:db8:6::2/64 on one end and a
# permanent neighbour entry that sends 2001:db8:6::1 to the other end, which
# does not own that address and drops what it gets (192.0.2.2/24 on that
# end besides, so that lookups limited to the families the machine has
# addresses of still return IPv4), so a SYN to it is never
# answered (a blackhole, unreachable or prohibit route fails a connect at
# once instead, and an address without a neighbour entry fails after the
# three seconds of neighbour discovery); a private /etc/hosts (bind-mounted)
# with broken.bench.test at 2001:db8:6::1 and 127.0.0.1 (the system's
# address sorting puts the IPv6 address first) and healthy.bench.test at
# 127.0.0.1 alone. A private Dovecot on 127.0.0.1 holds the mailbox.
#
# Each command is run once first, untimed, and must report the mailbox's
# count; one that has not ended after the cap (VESK_BENCH_STALL_CAP seconds,
# default 20) is reported as stalled and not timed. The others are timed by
# hyperfine (no shell, one warm-up run); the figures are medians. Reports;
# never fails on a figure.
# Usage: bench/happy-eyeballs.sh [RUNS]
#   VESK_BENCH_BUILD names a build folder with bin/Vesk to use as it is.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# shellcheck source=bench/whole-common.sh
. "$root/bench/whole-common.sh"
# shellcheck source=bench/dovecot-kept.sh
. "$root/bench/dovecot-kept.sh"

cap=${VESK_BENCH_STALL_CAP:-20}
broken_v6=2001:db8:6::1
user=box
count=3

# The network and names described above; run inside the namespace.
setup_namespace() {
  local mac
  ip link set lo up
  ip link add he0 type veth peer name he1
  ip link set he0 up
  ip link set he1 up
  ip -6 addr add 2001:db8:6::2/64 dev he0 nodad
  # Lookups that ask for the families the machine has addresses of
  # (AI_ADDRCONFIG) count no loopback address: without an IPv4 address
  # besides 127.0.0.1 they would leave out the working IPv4 address.
  ip addr add 192.0.2.2/24 dev he0
  mac=$(ip -o link show he1 | sed -n 's|.*link/ether \([0-9a-f:]*\).*|\1|p')
  ip -6 neigh replace "$broken_v6" lladdr "$mac" dev he0 nud permanent
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost\n%s broken.bench.test\n127.0.0.1 broken.bench.test\n127.0.0.1 healthy.bench.test\n' \
    "$broken_v6" >"$work/hosts"
  mount --bind "$work/hosts" /etc/hosts
}

# The counts each program reports for the one account, as "USER COUNT".
curl_counts() { printf '%s %s\n' "$user" "$(grep -c '^[0-9]' || true)"; }
mpop_counts() { printf '%s %s\n' "$user" "$(sed -nE 's/.*total: ([0-9]+) messages?.*/\1/p')"; }

# probe NAME COUNTS COMMAND...: runs COMMAND once, untimed, for at most $cap
# seconds. Prints its wall time in ms; an empty line when it was stopped at
# the cap. A command that ends but misreports the mailbox ends the benchmark.
probe() {
  local name=$1 counts=$2 out rc=0 start end
  shift 2
  start=$(date +%s%N)
  out=$(timeout "$cap" env -u DISPLAY "$@" 2>&1) || rc=$?
  end=$(date +%s%N)
  if [ "$rc" -eq 124 ]; then
    echo
    return
  fi
  if [ "$("$counts" <<<"$out")" != "$user $count" ]; then
    echo "$name did not report the mailbox as the server holds it (exit $rc):" >&2
    echo "$out" >&2
    exit 1
  fi
  echo $(((end - start) / 1000000))
}

# The part that runs inside the namespace: WORK RUNS.
inside() {
  work=$1
  dir="$1/pop3"
  local runs=$2 route name tag ms
  # The server lives in this namespace: it is stopped here; the work folder
  # is the outer part's to remove.
  trap '"$root/scripts/fixtures/dovecot.sh" stop "$dir" >/dev/null 2>&1 || true' EXIT
  setup_namespace
  start_kept_dovecot 2 2 "$dir" "$user:$count" >/dev/null
  # shellcheck disable=SC1091
  . "$dir/server.env"
  local port=$VESK_POP3_PORT pass
  pass=$(awk -F: -v u="$user" '$1 == u { print $2 }' "$dir/users.txt")
  echo "Dovecot on 127.0.0.1:$port; broken.bench.test: $(getent ahostsv6 broken.bench.test | awk 'NR == 1 { print $1 }') (SYNs dropped) and 127.0.0.1"
  echo "Address order the system gives broken.bench.test:$(getent ahosts broken.bench.test | awk '$2 == "STREAM" { printf " %s", $1 }')"

  local results=()
  for route in healthy broken; do
    name=$route.bench.test
    host=$name
    write_vesk_ini "$work/vesk-$route.ini" "$dir" "$port" APOP=0
    printf 'defaults\ntls off\nauth user\npipelining off\ndelivery mbox /dev/null\n\naccount %s\nhost %s\nport %s\nuser %s\npassword %s\n' \
      "$user" "$name" "$port" "$user" "$pass" >"$work/mpop-$route.conf"
    chmod 600 "$work/mpop-$route.conf"
    local named=() cmd counts
    for tag in Vesk curl mpop; do
      case $tag in
        Vesk) cmd=("$build/bin/Vesk" --check --ini "$work/vesk-$route.ini") counts=vesk_counts ;;
        curl) cmd=(curl -s -u "$user:$pass" "pop3://$name:$port/") counts=curl_counts ;;
        mpop) cmd=(mpop -s -a -C "$work/mpop-$route.conf") counts=mpop_counts ;;
      esac
      ms=$(probe "$tag ($route)" "$counts" "${cmd[@]}")
      results+=("$tag $route probe ${ms:-stalled}")
      if [ -n "$ms" ]; then named+=(-n "$tag" "timeout $cap ${cmd[*]}"); fi
    done
    if [ ${#named[@]} -gt 0 ]; then
      env -u DISPLAY hyperfine -N --warmup 1 --runs "$runs" --ignore-failure --style none \
        --export-json "$work/$route.json" "${named[@]}" >/dev/null
      while read -r tag ms; do results+=("$tag $route median $ms"); done < <(hyperfine_medians "$work/$route.json")
    fi
  done
  printf '%s\n' "${results[@]}" | he_report "$cap"
}

# hyperfine_medians JSON: "NAME MEDIAN_MS" for each command of the export.
hyperfine_medians() {
  python3 -c '
import json, statistics, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print("%s %.1f" % (r["command"], statistics.median(r["times"]) * 1000))' "$1"
}

# he_report CAP: from lines "PROGRAM ROUTE probe MS|stalled" and "PROGRAM
# ROUTE median MS" on stdin, prints one line per program (its median on each
# route, or that it stalled past CAP seconds, and what the broken route cost
# it) and whether Vesk's time on the broken route stayed within 300 ms of its
# healthy time.
he_report() {
  awk -v cap="$1" '
    { key = $1 " " $2; seen[$1] = 1; if (!($1 in order)) order[$1] = ++n; name[order[$1]] = $1 }
    $3 == "probe" && $4 == "stalled" { stalled[key] = 1 }
    $3 == "median" { median[key] = $4 }
    function shown(k) { return (k in stalled) ? sprintf("stalled (> %d s)", cap) : (k in median) ? sprintf("%.1f ms", median[k]) : "-" }
    END {
      printf "\n== One account, healthy route against a black-holed first address\n"
      for (i = 1; i <= n; i++) {
        p = name[i]; h = p " healthy"; b = p " broken"
        cost = ((h in median) && (b in median)) ? sprintf("   (%+.1f ms)", median[b] - median[h]) : ""
        line = sprintf("%-6s healthy %-18s broken %-18s%s", p, shown(h), shown(b), cost)
        sub(/ +$/, "", line)
        print line
      }
      h = "Vesk healthy"; b = "Vesk broken"
      if ((h in median) && (b in median))
        printf "Goal: Vesk within 300 ms of its healthy time: %s (%+.1f ms)\n", (median[b] - median[h] <= 300) ? "met" : "NOT met", median[b] - median[h]
      else
        printf "Goal: Vesk within 300 ms of its healthy time: NOT met (%s)\n", (b in stalled) ? "stalled" : "no figure"
    }'
}

# Sourced (by its test) it only defines the functions above.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

if [ "${1:-}" = --inside ]; then
  inside "$2" "$3"
  exit 0
fi

runs=${1:-15}
[ "$(id -u)" -eq 0 ] || { echo "happy-eyeballs.sh needs root (a private network namespace)" >&2; exit 1; }
whole_prepare happy-eyeballs
servers=("$work/pop3")
VESK_BENCH_BUILD=$build unshare -mn bash "$root/bench/happy-eyeballs.sh" --inside "$work" "$runs"
