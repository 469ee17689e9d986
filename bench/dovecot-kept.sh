# Sourced by the bench scripts: the mailboxes they check and the way their
# private Dovecot is run.
#
# bench_layout: sets the array `layout` to the 20 mailboxes box1..box20 of
# 0, 3 and 50 messages in turn.
bench_layout() {
  local i n
  layout=()
  for i in $(seq 1 20); do
    case $((i % 3)) in 0) n=0 ;; 1) n=3 ;; 2) n=50 ;; esac
    layout+=("box$i:$n")
  done
}

# start_kept_dovecot [--imap] LOGINS MAILS DIR [dovecot.sh start arguments...]
# Starts scripts/fixtures/dovecot.sh in DIR with its POP3 login and mail
# processes (with --imap its IMAP ones instead) kept running (LOGINS and
# MAILS of them ready, one authentication process), as a busy production
# server is set up: a process started per connection would put ~35 ms of the
# server's own start-up into every check, Vesk's and the peers' alike. A mail
# process serves one session at a time, and there are never more than MAILS
# of them: Dovecot otherwise starts new ones to keep MAILS idle whenever some
# are busy, so that a checker with many sessions at once would pay for
# process starts in the middle of its timed runs (and the extra processes are
# stopped again after a minute idle).
start_kept_dovecot() {
  local protocol=pop3
  if [ "$1" = --imap ]; then
    protocol=imap
    shift
  fi
  local logins=$1 mails=$2 dir=$3
  shift 3
  VESK_DOVECOT_EXTRA_CONF="service $protocol-login {
  service_count = 0
  process_min_avail = $logins
}
service $protocol {
  service_count = 0
  process_min_avail = $mails
  process_limit = $mails
}
service auth {
  process_min_avail = 1
}" "$root/scripts/fixtures/dovecot.sh" start "$dir" "$@" >/dev/null
}
