#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages/*.txt that are not
# installed yet. Waits for the package manager's lock instead of failing; uses
# sudo when not run as root. Usage: scripts/deps.sh [list-name ...]
# (default: every list directly in scripts/packages/; `program` is what Vesk
# needs to build and run, the others add what the tests need; tools/NAME are
# lists for the developer tools, installed only when named).
# VESK_POLICY_RC_D names the service-start policy file (default
# /usr/sbin/policy-rc.d); the script's own test points it elsewhere.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

lists=()
if [ $# -gt 0 ]; then
  for name in "$@"; do lists+=("$here/packages/$name.txt"); done
else
  lists=("$here"/packages/*.txt)
fi

wanted=$(cat "${lists[@]}" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${missing[*]}"
# Packages that ship a system service (a POP3 server, a SOCKS proxy) must not
# start it: Vesk's tests run their own private instances. policy-rc.d keeps
# invoke-rc.d from starting anything during this install.
policy=${VESK_POLICY_RC_D:-/usr/sbin/policy-rc.d}
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  made_policy=1
fi
cleanup() { if [ $made_policy -eq 1 ]; then "${sudo[@]}" rm -f "$policy"; fi; }
trap cleanup EXIT
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=120 update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get -o DPkg::Lock::Timeout=120 install -y -q --no-install-recommends "${missing[@]}"

# On a desktop run by systemd, the packaged POP3 server and SOCKS proxy would
# still be enabled for the next boot: switch them off. Vesk's tests run
# private instances of their own.
if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
  for unit in dovecot.service dovecot.socket danted.service; do
    if systemctl list-unit-files "$unit" >/dev/null 2>&1 && systemctl cat "$unit" >/dev/null 2>&1; then
      "${sudo[@]}" systemctl disable --now "$unit" >/dev/null 2>&1 || true
    fi
  done
fi
