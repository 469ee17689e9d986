#!/usr/bin/env bash
# Renders the application icon data/vesk.svg to the PNG sizes that are
# installed beside it (data/vesk-48.png, data/vesk-256.png). Run it after
# changing the drawing and commit the results.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" tools/icon
for size in 48 256; do
  rsvg-convert -w "$size" -h "$size" -o "$root/data/vesk-$size.png" "$root/data/vesk.svg"
  echo "data/vesk-$size.png"
done
