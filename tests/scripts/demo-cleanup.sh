#!/usr/bin/env bash
# Runs a copy of scripts/demo.sh in a temporary tree whose deps.sh, build.sh,
# fixtures/dovecot.sh, Vesk and vesk-desktop are stand-ins, with sox and sleep
# stand-ins on PATH; once Vesk and the mail feeder run, sends SIGNAL to the
# demo's shell alone and checks that the demo stopped the server, Vesk and the
# feeder before it ended. Usage: demo-cleanup.sh SOURCE_DIR SIGNAL
# The stand-ins' bodies are shell text in single quotes, expanded when they run.
# shellcheck disable=SC2016
set -uo pipefail
src="$1"
sig="$2"

work=$(mktemp -d)
demo=""
finish() {
  # A child of this shell that a signal reaches between its fork and its exec
  # (the timer below, killed right after it started) runs this trap too: only
  # this shell itself may remove the tree. /proc/self is the process that
  # reads it, where $BASHPID may still hold the parent's number.
  local self
  read -r self _ </proc/self/stat
  [ "$self" = "$$" ] || return 0
  # Whatever the demo left behind runs in its process group (see below).
  [ -n "$demo" ] && kill -KILL -- "-$demo" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
failures=0
fail() { echo "FAIL ($sig): $*"; failures=$((failures + 1)); }

mkdir -p "$work/scripts/fixtures" "$work/build/bin" "$work/bin"
cp "$src/scripts/demo.sh" "$work/scripts/demo.sh"
calls="$work/calls"
: >"$calls"
# The stand-ins tell the test their process ids through this pipe.
mkfifo "$work/started"
exec 3<>"$work/started"

stub() {  # FILE BODY
  printf '#!/bin/sh\n%s\n' "$2" >"$1"
  chmod +x "$1"
}
for s in deps build; do stub "$work/scripts/$s.sh" 'exit 0'; done
stub "$work/scripts/fixtures/dovecot.sh" 'echo "dovecot.sh $1 $2" >>"$STUB_CALLS"
if [ "$1" = start ]; then
  mkdir -p "$2"
  printf "VESK_POP3_HOST=127.0.0.1\nVESK_POP3_PORT=1\n" >"$2/server.env"
  printf "alice:a:2\nbob:b:0\n" >"$2/users.txt"
fi'
stub "$work/build/bin/Vesk" 'echo "vesk $$" >"$STUB_STARTED"
exec /bin/sleep 300'
touch "$work/build/bin/vesk-desktop"
stub "$work/bin/sox" 'exit 0'
# The feeder is the only caller of sleep: its parent is the feeder.
stub "$work/bin/sleep" 'echo "feeder $PPID" >"$STUB_STARTED"
exec /bin/sleep "$@"'

# A process group of its own, with the signals at their defaults (a shell
# starts background commands with SIGINT ignored).
PATH="$work/bin:$PATH" STUB_CALLS="$calls" STUB_STARTED="$work/started" \
  setsid env --default-signal=INT,TERM,HUP bash "$work/scripts/demo.sh" >"$work/out" 2>&1 &
demo=$!

vesk="" feeder=""
for _ in 1 2; do
  read -r -t 60 -u 3 who pid || { fail "the demo did not start Vesk and the feeder: $(cat "$work/out")"; exit 1; }
  case "$who" in vesk) vesk=$pid ;; feeder) feeder=$pid ;; esac
done

kill -"$sig" "$demo"
# A demo still running 30 s later is reported and ended here.
/bin/sleep 30 &
timer=$!
wait -n "$demo" "$timer"
if kill -0 "$demo" 2>/dev/null; then
  fail "the demo did not end within 30 s of SIG$sig"
  kill -KILL -- "-$demo"
  wait "$demo"
fi
kill "$timer" 2>/dev/null

grep -qxF "dovecot.sh stop $work/build/demo/pop3" "$calls" || fail "the server was not stopped: $(cat "$calls")"
! kill -0 "$vesk" 2>/dev/null || fail "Vesk still runs"
! kill -0 "$feeder" 2>/dev/null || fail "the mail feeder still runs"
[ "$failures" -eq 0 ] && echo "ok ($sig)"
[ "$failures" -eq 0 ]
