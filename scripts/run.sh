#!/usr/bin/env bash
# Installs what Vesk needs (scripts/packages/program.txt) when it is missing,
# builds Vesk and starts it. Vesk reads Vesk.ini beside the executable:
# build/bin/Vesk.ini. Arguments are passed to Vesk (e.g. --ini PATH).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" program
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF
exec "$root/build/bin/Vesk" "$@"
