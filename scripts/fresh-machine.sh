#!/usr/bin/env bash
# Proves the README's two commands on a fresh machine: makes a new Debian 12
# root with debootstrap (minbase, plus git, ca-certificates and sudo, and a
# container-style /usr/sbin/policy-rc.d that refuses to start services),
# clones the committed HEAD of this repository into it and, chrooted there,
# runs scripts/run.sh until Vesk is up and running (then ends it with SIGTERM
# and checks that it ended cleanly) and scripts/test.sh (the whole suite must
# pass). Prints the time of each step. Everything mounted is unmounted on
# exit, also after a failure. Uncommitted changes are not part of the check.
#
# Needs root (runs itself through sudo otherwise) and network access to the
# Debian mirror this machine uses. Usage: scripts/fresh-machine.sh
# Environment: VESK_FRESH_DIR  folder for the new root (default: a new folder
#                              under /var/tmp, removed afterwards)
#              VESK_FRESH_KEEP=1  keep the new root and the logs (they are
#                              kept anyway when a step fails)
#              VESK_FRESH_START_TIMEOUT  seconds run.sh may take to bring
#                              Vesk up (default 2400)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi

say() { printf '== %s\n' "$*"; }
started=$(date +%s)
step_start=$started
step() { step_start=$(date +%s); say "$*"; }
step_done() { say "$1: $(($(date +%s) - step_start)) s (total $(($(date +%s) - started)) s)"; }

"$root/scripts/deps.sh" tools/fresh-machine

# The machine's own Debian mirror: the first deb source for bookworm in
# /etc/apt/sources.list.d/*.sources (deb822) or sources.list (one-line form).
mirror_of_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() { if (types ~ /(^| )deb( |$)/ && suites ~ /(^| )bookworm( |$)/ && uri != "" && !found) { print uri; found = 1 } types = suites = uri = "" }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); split($0, u, /[ \t]+/); uri = u[1] }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ } if ($(i + 1) == "bookworm") print $i }' "$f"
  done
}
mirror=$(mirror_of_sources | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}

work=${VESK_FRESH_DIR:-$(mktemp -d /var/tmp/vesk-fresh.XXXXXX)}
target="$work/root"
mkdir -p "$target"
vesk_pid=""
mounted=()

mounted_below() { awk -v t="$target" '$5 == t || index($5, t "/") == 1 { print $5 }' /proc/self/mountinfo; }
cleanup() {
  local status=$? m i
  set +e
  if [ -n "$vesk_pid" ] && kill -0 "$vesk_pid" 2>/dev/null; then
    kill -TERM "$vesk_pid"
    wait "$vesk_pid" 2>/dev/null
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    m=${mounted[i]}
    umount "$m" 2>/dev/null || umount -l "$m"
  done
  # Anything still mounted below the new root (a server a failed test left
  # behind can hold one): detach it, deepest first.
  for m in $(mounted_below | sort -r); do umount -l "$m"; done
  if [ -n "$(mounted_below)" ]; then
    echo "fresh-machine: $target still has mounts; it is left in place" >&2
  elif [ $status -ne 0 ] || [ "${VESK_FRESH_KEEP:-0}" = 1 ]; then
    echo "fresh-machine: the new root and the logs are kept in $work"
  elif [ -z "${VESK_FRESH_DIR:-}" ]; then
    rm -rf "$work"
  fi
  say "fresh machine: $([ $status -eq 0 ] && echo passed || echo "FAILED ($status)") after $(($(date +%s) - started)) s"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() {  # mount arguments..., the mount point last
  local point="${*: -1}"
  mkdir -p "$point"
  mount "$@"
  mounted+=("$point")
  mount --make-private "$point"
}

step "debootstrap bookworm from $mirror into $target"
debootstrap --variant=minbase --include=git,ca-certificates,sudo bookworm "$target" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log"; exit 1; }
printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
chmod 755 "$target/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$target/etc/resolv.conf"
cp /etc/hosts "$target/etc/hosts"
step_done "debootstrap"

mount_in -t proc proc "$target/proc"
mount_in -t sysfs sysfs "$target/sys"
mount_in --bind /dev "$target/dev"
mount_in --bind /dev/pts "$target/dev/pts"
mount_in -t tmpfs -o mode=1777 tmpfs "$target/tmp"

step "clone the commit"
commit=$(git -C "$root" rev-parse HEAD)
git clone --quiet --no-checkout "$root" "$target/root/vesk"
git -C "$target/root/vesk" checkout --quiet "$commit"
say "commit $commit"
step_done "clone"

# Commands in the new root run with a clean environment, as after a login.
clean_env=(HOME=/root USER=root LOGNAME=root LANG=C.UTF-8 TERM=dumb
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin ${CI:+CI=$CI})
in_root() { chroot "$target" /usr/bin/env -i "${clean_env[@]}" "$@"; }

step "first command: scripts/run.sh (install, build, start Vesk)"
cat >"$target/tmp/fresh.ini" <<'INI'
[AccountConfig]
Count=1
[Account1]
AccountName=none
[Global Parameters]
CheckInterval=2
TaskTray=0
INI
# chroot, env, bash, run.sh and Vesk each replace themselves with the next,
# so the process started here becomes Vesk's desktop program.
(exec chroot "$target" /usr/bin/env -i "${clean_env[@]}" /bin/bash -c \
  'cd /root/vesk && exec scripts/run.sh --ini /tmp/fresh.ini') >"$work/run.log" 2>&1 &
vesk_pid=$!
deadline=$(($(date +%s) + ${VESK_FRESH_START_TIMEOUT:-2400}))
until [ "$(readlink "/proc/$vesk_pid/exe" 2>/dev/null)" = "$target/root/vesk/build/bin/vesk-desktop" ]; do
  if ! kill -0 "$vesk_pid" 2>/dev/null; then
    tail -n 40 "$work/run.log"
    echo "fresh-machine: scripts/run.sh ended before Vesk ran" >&2
    vesk_pid=""
    exit 1
  fi
  if [ "$(date +%s)" -ge "$deadline" ]; then
    tail -n 40 "$work/run.log"
    echo "fresh-machine: Vesk did not start in time" >&2
    exit 1
  fi
  sleep 1
done
step_done "install and build until Vesk ran"
step "Vesk keeps running"
sleep 5
kill -0 "$vesk_pid" 2>/dev/null || { tail -n 40 "$work/run.log"; echo "fresh-machine: Vesk ended by itself" >&2; exit 1; }
kill -TERM "$vesk_pid"
vesk_status=0
wait "$vesk_pid" || vesk_status=$?
vesk_pid=""
tail -n 5 "$work/run.log"
[ "$vesk_status" -eq 0 ] || { echo "fresh-machine: Vesk ended with status $vesk_status after SIGTERM" >&2; exit 1; }
step_done "Vesk ran 5 s and ended cleanly on SIGTERM"

step "second command: scripts/test.sh (install, build, run the whole suite)"
in_root /bin/bash -c 'cd /root/vesk && scripts/test.sh' >"$work/test.log" 2>&1 || {
  tail -n 80 "$work/test.log"
  echo "fresh-machine: scripts/test.sh failed" >&2
  exit 1
}
grep -E 'tests passed|tests failed' "$work/test.log" | tail -n 1
step_done "test suite"
