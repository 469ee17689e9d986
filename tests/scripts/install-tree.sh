#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR with prefix /usr, as the Debian
# package does, and checks the tree: the program, the menu entry (accepted by
# desktop-file-validate), the icon, the opt-in autostart entry (not installed
# to start for everyone) and the udev rule; that the installed Vesk finds its
# desktop program; then builds the .deb with CPack
# from the same rules and checks its contents and its dependencies.
# Usage: install-tree.sh BUILD_DIR CMAKE CPACK
set -uo pipefail
build="$1"
cmake="$2"
cpack="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR="$work/dest" "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
dest="$work/dest"
expected="usr/bin/Vesk
usr/lib/udev/rules.d/70-vesk-scrolllock.rules
usr/libexec/vesk/vesk-desktop
usr/share/applications/vesk.desktop
usr/share/icons/hicolor/256x256/apps/vesk.png
usr/share/icons/hicolor/48x48/apps/vesk.png
usr/share/icons/hicolor/scalable/apps/vesk.svg
usr/share/vesk/vesk-autostart.desktop"
actual=$(cd "$dest" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ:$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/\n  /')"

[ -x "$dest/usr/bin/Vesk" ] || fail "usr/bin/Vesk is not executable"
# Vesk finds its desktop program in the installed tree: the desktop program
# is the one that reads the command line of a windowed start and rejects an
# unknown option (a missing one is reported as such, with status 1).
out=$(QT_QPA_PLATFORM=offscreen "$dest/usr/bin/Vesk" --no-such-option 2>&1)
[ $? -eq 2 ] && grep -q 'no-such-option' <<<"$out" || fail "the installed Vesk did not start its desktop program: $out"
for entry in usr/share/applications/vesk.desktop usr/share/vesk/vesk-autostart.desktop; do
  [ -f "$dest/$entry" ] || continue
  out=$(desktop-file-validate "$dest/$entry" 2>&1) || fail "desktop-file-validate rejects $entry: $out"
  [ -z "$out" ] || fail "desktop-file-validate warns about $entry: $out"
  grep -qx 'Exec=Vesk' "$dest/$entry" || fail "$entry does not start Vesk"
  grep -qx 'Icon=vesk' "$dest/$entry" || fail "$entry does not name the icon vesk"
done
grep -qx 'Categories=Network;Email;' "$dest/usr/share/applications/vesk.desktop" ||
  fail "the menu entry is not in the categories Network;Email;"

# The PNGs are PNGs of their folder's size (width and height at bytes 16-23).
for size in 48 256; do
  png="$dest/usr/share/icons/hicolor/${size}x${size}/apps/vesk.png"
  [ -f "$png" ] || continue
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
  [ "$(head -c 4 "$png" | od -An -c | tr -d ' ')" = '211PNG' ] || fail "$png is not a PNG"
  [ "$dims" = "${size}x${size}" ] || fail "$png is $dims, not ${size}x${size}"
done

rule="$dest/usr/lib/udev/rules.d/70-vesk-scrolllock.rules"
grep -q 'KERNEL=="\*::scrolllock"' "$rule" || fail "the udev rule does not select the Scroll Lock LEDs"
grep -q 'chmod g+w /sys%p/brightness' "$rule" || fail "the udev rule does not open the brightness file to its group"

# The Debian package, from the same install rules.
(cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/deb/vesk_*.deb 2>/dev/null | head -n1)
if [ -z "$deb" ]; then
  fail "cpack made no vesk_*.deb: $(cat "$work/cpack.log")"
else
  in_deb=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
  [ "$in_deb" = "$expected" ] || fail "the package's files differ:$(diff <(echo "$expected") <(echo "$in_deb") | sed 's/^/\n  /')"
  depends=$(dpkg-deb -f "$deb" Depends)
  for dep in libqt6widgets6 libcanberra0 libx11-6 libc6 libssl3 libcanberra-pulse netbase; do
    grep -q "\b$dep\b" <<<"$depends" || fail "the package does not depend on $dep: $depends"
  done
fi

[ "$failures" -eq 0 ] && echo "ok: install tree and package"
[ "$failures" -eq 0 ]
