#!/usr/bin/env bash
# Takes screenshots of the three pages of the settings dialog on a virtual X
# display (Xvfb) and writes them to docs/settings-zizaz.png,
# docs/settings-ridovivez.png and docs/settings-siren.png, and one of the
# first page showing an IMAP account to docs/settings-zizaz-imap.png.
# Usage: scripts/screenshots-settings.sh [BUILD_DIR]   (default: build-settings)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build-settings}"
"$root/scripts/deps.sh" program tools/screenshots
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$dir" --target settings_screenshots

work="$(mktemp -d)"
xvfb=""
cleanup() {
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 400x480x24 -nolisten tcp 3>"$work/display" &
xvfb=$!
read -r -t 30 display <"$work/display"
[ -n "$display" ] || { echo "Xvfb did not start" >&2; exit 1; }

mkdir -p "$root/docs"
# name, page, example account shown
for shot in "zizaz 0 1" "ridovivez 1 1" "siren 2 1" "zizaz-imap 0 3"; do
  read -r name page account <<<"$shot"
  DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work" \
    "$dir/bin/settings_screenshots" "$page" "$root/docs/settings-$name.png" "$account"
  echo "docs/settings-$name.png"
done
