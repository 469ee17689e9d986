#!/usr/bin/env bash
# Screenshots of what Vesk shows after a check, under a private X server
# (Xvfb) with a tray host, against a private Dovecot: the tray icon for no
# mail, mail waiting and a failed check (docs/tray-none.png, tray-mail.png,
# tray-error.png) and the main window with its status lines
# (docs/main-window-status.png). Builds build/ first when it holds no vesk-desktop.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" program tests pop3 tools/screenshots
[ -x "$root/build/bin/vesk-desktop" ] || "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF

work=$(mktemp -d /tmp/vesk-shots-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$root/scripts/fixtures/dovecot.sh" stop "$work/pop3" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$root/scripts/fixtures/dovecot.sh" start "$work/pop3" home:3 work:0 >/dev/null
# shellcheck disable=SC1091
. "$work/pop3/server.env"
unused=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM
cp "$root/build/bin/Vesk" "$root/build/bin/vesk-desktop" "$work/"

# Settings with the accounts given as NAME:USER:PORT; the password is the
# fixture's for USER.
settings() {
  local tray=$1 n=0 name user port; shift
  {
    printf '[AccountConfig]\nCount=%d\n' $#
    for account in "$@"; do
      n=$((n + 1)); IFS=: read -r name user port <<<"$account"
      printf '[Account%d]\nAccountName=%s\nPOPServer=%s\nUserName=%s\nPortNumber=%s\nPassword=%s\n' \
        "$n" "$name" "$VESK_POP3_HOST" "$user" "$port" "$(printf 'secret-%s' "$user" | base64 -w0)"
    done
    printf '[Global Parameters]\nCheckInterval=1\nAttentiveWait=0\nTaskTray=%s\n' "$tray"
  } >"$work/Vesk.ini"
}

# Starts Vesk, lets it check once, takes the shot with `import ARGS... FILE`.
shot() {
  local file=$1; shift
  "$work/Vesk" 2>/dev/null & local pid=$!
  sleep 2.5
  /usr/bin/import "$@" "$root/docs/$file"
  kill "$pid"; wait "$pid" 2>/dev/null || true
}

settings 0 "Home:home:$VESK_POP3_PORT" "Work:work:$VESK_POP3_PORT" "Old:home:$unused"
"$work/Vesk" 2>/dev/null & pid=$!
for _ in $(seq 100); do id=$(xdotool search --name '^Vesk$' 2>/dev/null | head -1) && [ -n "$id" ] && break; sleep 0.1; done
sleep 2.5
/usr/bin/import -window "$id" "$root/docs/main-window-status.png"
kill "$pid"; wait "$pid" 2>/dev/null || true

trayer --edge top --align right --widthtype pixel --width 120 --height 32 \
  --transparent false --SetDockType false --expand false >/dev/null 2>&1 & pids+=($!)
sleep 0.5
settings 1 "Work:work:$VESK_POP3_PORT"
shot tray-none.png -window root -crop 40x32+600+0
settings 1 "Home:home:$VESK_POP3_PORT"
shot tray-mail.png -window root -crop 40x32+600+0
settings 1 "Old:home:$unused"
shot tray-error.png -window root -crop 40x32+600+0
echo "wrote docs/main-window-status.png, docs/tray-none.png, docs/tray-mail.png, docs/tray-error.png"
