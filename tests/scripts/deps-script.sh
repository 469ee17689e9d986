#!/usr/bin/env bash
# Runs scripts/deps.sh with apt-get, dpkg-query, sudo, systemctl and id
# replaced by stand-ins on PATH that record their calls, and with the
# service-start policy file in a temporary folder (VESK_POLICY_RC_D).
# Usage: deps-script.sh SOURCE_DIR CASE, CASE one of:
#   install-without-policy  install-with-policy  install-as-user
#   nothing-missing         install-fails
set -uo pipefail
src="$1"
case_name="$2"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL ($case_name): $*"; failures=$((failures + 1)); }

# A copy of the script with two lists of its own.
mkdir -p "$work/scripts/packages" "$work/bin"
cp "$src/scripts/deps.sh" "$work/scripts/deps.sh"
printf '# first list\nalpha\nbeta  # in use\n' >"$work/scripts/packages/one.txt"
printf 'gamma\nalpha\n' >"$work/scripts/packages/two.txt"
calls="$work/calls"
installed="$work/installed"
: >"$calls"
policy="$work/policy-rc.d"

# Stand-ins. dpkg-query knows the packages listed in $installed; apt-get
# records its arguments and what the policy file held while it ran, and
# "installs" (or fails, with STUB_APT_FAIL=1); sudo runs its command; id -u
# answers STUB_UID.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for pkg; do :; done
echo "dpkg-query $pkg" >>"$STUB_CALLS"
grep -qx "$pkg" "$STUB_INSTALLED" 2>/dev/null || exit 1
printf 'install ok installed'
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$STUB_CALLS"
if [ -e "$VESK_POLICY_RC_D" ]; then
  echo "policy during apt-get: $(tr '\n' ' ' <"$VESK_POLICY_RC_D")" >>"$STUB_CALLS"
else
  echo "policy during apt-get: none" >>"$STUB_CALLS"
fi
case " $* " in
*" install "*)
  [ "${STUB_APT_FAIL:-0}" = 1 ] && exit 100
  for a; do case "$a" in -*|install|DPkg::*) ;; *) echo "$a" >>"$STUB_INSTALLED" ;; esac; done ;;
esac
exit 0
EOF
cat >"$work/bin/sudo" <<'EOF'
#!/bin/sh
echo "sudo $1" >>"$STUB_CALLS"
exec "$@"
EOF
cat >"$work/bin/systemctl" <<'EOF'
#!/bin/sh
echo "systemctl $*" >>"$STUB_CALLS"
exit 0
EOF
cat >"$work/bin/id" <<'EOF'
#!/bin/sh
if [ "$1" = -u ]; then echo "$STUB_UID"; else exec /usr/bin/id "$@"; fi
EOF
chmod +x "$work/bin/"*

run_deps() {
  PATH="$work/bin:$PATH" STUB_CALLS="$calls" STUB_INSTALLED="$installed" \
    VESK_POLICY_RC_D="$policy" STUB_UID="${uid:-0}" STUB_APT_FAIL="${apt_fail:-0}" \
    "$work/scripts/deps.sh" >"$work/out" 2>&1
  status=$?
}

expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; output: $(cat "$work/out")"; }
expect_call() { grep -qxF -- "$1" "$calls" || fail "no call '$1' in: $(cat "$calls")"; }
expect_no_call() { ! grep -q -- "$1" "$calls" || fail "unexpected call matching '$1' in: $(cat "$calls")"; }
install_line='apt-get -o DPkg::Lock::Timeout=120 install -y -q --no-install-recommends alpha gamma'

case "$case_name" in
install-without-policy)
  echo beta >"$installed"
  run_deps
  expect_status 0
  expect_call "$install_line"
  expect_call "policy during apt-get: #!/bin/sh exit 101 "
  expect_no_call '^sudo'
  [ ! -e "$policy" ] || fail "the policy file made for the install was left behind"
  ;;
install-with-policy)
  echo beta >"$installed"
  printf '#!/bin/sh\n# the site policy\nexit 101\n' >"$policy"
  chmod 750 "$policy"
  cp -p "$policy" "$work/policy.orig"
  run_deps
  expect_status 0
  expect_call "$install_line"
  expect_call "policy during apt-get: #!/bin/sh # the site policy exit 101 "
  cmp -s "$policy" "$work/policy.orig" || fail "the existing policy file was changed"
  [ "$(stat -c %a "$policy")" = 750 ] || fail "the existing policy file's mode was changed"
  ;;
install-as-user)
  uid=1000
  run_deps
  expect_status 0
  expect_call 'sudo apt-get'
  expect_call 'sudo env'
  expect_call 'sudo tee'
  expect_call 'sudo rm'
  expect_call "policy during apt-get: #!/bin/sh exit 101 "
  [ ! -e "$policy" ] || fail "the policy file made for the install was left behind"
  ;;
nothing-missing)
  printf 'alpha\nbeta\ngamma\n' >"$installed"
  run_deps
  expect_status 0
  expect_no_call '^apt-get'
  expect_no_call '^sudo'
  [ ! -e "$policy" ] || fail "a policy file was made though nothing was installed"
  ;;
install-fails)
  apt_fail=1
  echo beta >"$installed"
  run_deps
  [ "$status" -ne 0 ] || fail "a failed install exited 0"
  expect_call "$install_line"
  [ ! -e "$policy" ] || fail "the policy file made for the install was left behind after the failure"
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
[ "$failures" -eq 0 ] && echo "ok ($case_name)"
[ "$failures" -eq 0 ]
