#!/usr/bin/env bash
# Shows Vesk at work on this desktop within a minute: starts a private POP3
# server (Dovecot, on a free loopback port) with two sample mailboxes, writes
# a Vesk.ini beside a copy of Vesk that checks them every 10 seconds with the
# siren on, and starts Vesk. While it runs, a new message arrives every 25
# seconds (three in all), so the Scroll Lock LED blinks and lights, and the
# siren plays: a two-tone alarm for mail from the boss, a chime for the rest.
# Close Vesk (Exit in its menu, or the window's close box) to end the demo;
# the server stops with it, and also when the demo itself is ended (Ctrl-C,
# kill, a closed terminal). Usage: scripts/demo.sh [--tray] [--tls]
#
# With --tls the server requires TLS: alice is checked over POP3S (Security=1)
# and bob with STLS (Security=2) and a certificate pin (Fingerprint). The
# demo's own certificate authority is trusted through SSL_CERT_FILE, and
# `Vesk --fingerprint` shows the server's certificate first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tray=0
tls=0
for arg in "$@"; do
  case "$arg" in
    --tray) tray=1 ;;
    --tls) tls=1 ;;
    *) echo "usage: scripts/demo.sh [--tray] [--tls]" >&2; exit 2 ;;
  esac
done

"$root/scripts/deps.sh" program pop3 signals
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/sounds" "$demo/incoming"
pop="$demo/pop3"
vesk=""
# True in the demo's own shell. A child forked from it that a signal reaches
# before it has started its command runs the demo's traps too; it must not
# clean up (/proc/self is the process that reads it, where $BASHPID may still
# hold the parent's number).
own_shell() {
  local self
  read -r self _ </proc/self/stat
  [ "$self" = "$$" ]
}
# Stops Vesk, the mail feeder and the server, however the demo ends: a normal
# exit, or SIGINT (Ctrl-C), SIGTERM or SIGHUP (a closed terminal), after which
# the demo ends by that same signal. Vesk runs in the background and the demo
# waits for it with `wait`, which a signal interrupts at once (a foreground
# child would keep the shell from acting on the signal until it ends).
cleanup() {
  own_shell || return 0
  trap - EXIT INT TERM HUP
  # Vesk and the mail feeder are the demo's background jobs; asking the job
  # table rather than $! also finds one whose start the signal interrupted
  # before its process id was kept.
  local jobs
  jobs=$(jobs -p)
  if [ -n "$jobs" ]; then
    # shellcheck disable=SC2086
    kill $jobs 2>/dev/null || true
    # shellcheck disable=SC2086
    wait $jobs 2>/dev/null || true
  fi
  "$root/scripts/fixtures/dovecot.sh" stop "$pop" >/dev/null 2>&1 || true
}
trap cleanup EXIT
for sig in INT TERM HUP; do
  # shellcheck disable=SC2064
  trap "own_shell || exit; cleanup; kill -$sig \$\$" "$sig"
done

# Sample sounds, made here so nothing is downloaded.
sox -n -r 44100 -c 2 -b 16 "$demo/sounds/alarm.wav" synth 0.25 sine 880 synth 0.25 sine 660 repeat 2 vol 0.6
sox -n -r 44100 -c 2 -b 16 "$demo/sounds/chime.wav" synth 0.6 sine 1320 fade 0 0.6 0.5 vol 0.5

if [ "$tls" = 1 ]; then
  "$root/scripts/fixtures/dovecot.sh" start "$pop" --tls alice:2 bob:0 >/dev/null
else
  "$root/scripts/fixtures/dovecot.sh" start "$pop" alice:2 bob:0 >/dev/null
fi
# shellcheck disable=SC1091
. "$pop/server.env"
alice_port=$VESK_POP3_PORT alice_security=0 bob_security=0 bob_pin=""
if [ "$tls" = 1 ]; then
  export SSL_CERT_FILE="$pop/tls/ca.pem"
  alice_port=$VESK_POP3S_PORT alice_security=1 bob_security=2 bob_pin=$VESK_POP3_FINGERPRINT
  echo "demo: the server's certificate, as Vesk --fingerprint shows it:"
  "$root/build/bin/Vesk" --fingerprint "$VESK_POP3_HOST:$VESK_POP3S_PORT" | sed 's/^/demo:   /'
fi
pass() { awk -F: -v u="$1" '$1 == u { print $2 }' "$pop/users.txt"; }
b64() { printf '%s' "$1" | base64 -w0; }

cp "$root/build/bin/Vesk" "$root/build/bin/vesk-desktop" "$demo/"
cat >"$demo/Vesk.ini" <<INI
[Account1]
AccountName=Alice (USER/PASS)
POPServer=$VESK_POP3_HOST
UserName=alice
PortNumber=$alice_port
Password=$(b64 "$(pass alice)")
APOP=0
Security=$alice_security
Fingerprint=

[Account2]
AccountName=Bob (APOP)
POPServer=$VESK_POP3_HOST
UserName=bob
PortNumber=$VESK_POP3_PORT
Password=$(b64 "$(pass bob)")
APOP=1
Security=$bob_security
Fingerprint=$bob_pin

[AccountConfig]
Count=2

[Global Parameters]
CheckInterval=10
LightOnEqual=1
Flash=1
FlashOnEqual=0
FlashOnError=1
AttentiveWait=1
TaskTray=$tray

[Siren]
Enabled=1
Target1=boss@example.org
Target2=
Target3=
Song1=$demo/sounds/alarm.wav
Song2=
Song3=
Song0=$demo/sounds/chime.wav
INI
chmod 600 "$demo/Vesk.ini"

message() {  # FILE FROM SUBJECT
  printf 'From: %s\nTo: bob@vesk.test\nSubject: %s\nDate: %s\nMessage-ID: <%s@vesk.demo>\n\nHello from the Vesk demo.\n' \
    "$2" "$3" "$(date -R)" "$(basename "$1")" >"$1"
}
(
  n=0
  for from in "The Boss <boss@example.org>" "A Friend <friend@example.net>" "The Boss <boss@example.org>"; do
    sleep 25
    n=$((n + 1))
    message "$demo/incoming/$n.eml" "$from" "Demo message $n"
    "$root/scripts/fixtures/dovecot.sh" put "$pop" bob "$demo/incoming/$n.eml" >/dev/null
    echo "demo: new mail for bob from $from"
  done
) &

if [ "$tls" = 1 ]; then
  echo "demo: Vesk checks alice (2 messages) over POP3S on 127.0.0.1:$VESK_POP3S_PORT and bob (none yet) with STLS on 127.0.0.1:$VESK_POP3_PORT every 10 s."
else
  echo "demo: Vesk checks alice (2 messages) and bob (none yet) on 127.0.0.1:$VESK_POP3_PORT every 10 s."
fi
echo "demo: settings in $demo/Vesk.ini; close Vesk to end the demo."
"$demo/Vesk" &
vesk=$!
wait "$vesk"
