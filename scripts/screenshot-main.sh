#!/usr/bin/env bash
# Takes screenshots of Vesk's main window and of its tray icon under a private
# X server (Xvfb), for the documentation: docs/main-window.png, docs/tray.png.
# Builds build/ first when it holds no vesk-desktop (a build from before Vesk
# had its desktop program apart).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" program tests tools/screenshots
[ -x "$root/build/bin/vesk-desktop" ] || "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
unset QT_QPA_PLATFORM

cp "$root/build/bin/Vesk" "$root/build/bin/vesk-desktop" "$work/"
printf '[Global Parameters]\nTaskTray=0\n' > "$work/Vesk.ini"
"$work/Vesk" & pids+=($!)
for _ in $(seq 100); do id=$(xdotool search --name '^Vesk$' 2>/dev/null | head -1) && [ -n "$id" ] && break; sleep 0.1; done
sleep 0.5
/usr/bin/import -window "$id" "$root/docs/main-window.png"
kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true; unset 'pids[-1]'

# In the tray: a tray host docks the icon; the window stays hidden.
trayer --edge top --align right --widthtype pixel --width 120 --height 32 \
  --transparent false --SetDockType false --expand false >/dev/null 2>&1 & pids+=($!)
sleep 0.5
printf '[Global Parameters]\nTaskTray=1\n' > "$work/Vesk.ini"
"$work/Vesk" & pids+=($!)
sleep 1.5
/usr/bin/import -window root -crop 160x40+480+0 "$root/docs/tray.png"
echo "wrote docs/main-window.png and docs/tray.png"
