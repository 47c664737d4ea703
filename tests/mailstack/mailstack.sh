#!/usr/bin/env bash
# The project's local mail stack: a real Postfix (SMTP, submission, SMTPS)
# and a real Dovecot (POP3, POP3S, IMAP4, IMAPS) on loopback, every file
# under one run directory, nothing changed under /etc.
#
#   mailstack.sh start  RUN_DIR   stop any stack in RUN_DIR, start a fresh one
#                                 (empty mailboxes and queue), wait for every
#                                 port, write RUN_DIR/stack.env
#   mailstack.sh stop   RUN_DIR   stop exactly the daemons started in RUN_DIR
#   mailstack.sh status RUN_DIR   exit 0 when both masters run, 1 otherwise
#   mailstack.sh oauth-start RUN_DIR   add the OAuth 2.0 part (see its block
#                                 below) to the running stack, write
#                                 RUN_DIR/oauth.env
#   mailstack.sh oauth-stop  RUN_DIR   stop only the OAuth part
#
# Runs as root without systemd. Ports are PORT_BASE + the well-known port
# (PORT_BASE from $TESSALY_MAILSTACK_PORT_BASE, default 20000), so several
# stacks with different bases run side by side. Processes are only ever
# stopped by the PID their own master wrote under RUN_DIR.
set -euo pipefail

readonly DOMAIN=tessaly.test
readonly USERS=(alice bob carol)
readonly PASSWORDS=(alice-pw-1 bob-pw-2 carol-pw-3)
readonly POSTFIX_MASTER=/usr/lib/postfix/sbin/master
readonly DOVECOT_BIN=/usr/sbin/dovecot
readonly START_WAIT_S=20
readonly STOP_WAIT_S=10

die() { echo "mailstack: $*" >&2; exit 1; }

usage() { die "usage: mailstack.sh start|stop|status|oauth-start|oauth-stop RUN_DIR"; }

[ $# -eq 2 ] || usage
readonly ACTION=$1
if [ "$ACTION" = start ]; then mkdir -p "$2"; fi
if [ -d "$2" ]; then
  RUN=$(cd "$2" && pwd -P)
else
  RUN=$2  # nothing was ever started there: stop and status have nothing to find
fi
readonly RUN

PORT_BASE=${TESSALY_MAILSTACK_PORT_BASE:-20000}
[[ $PORT_BASE =~ ^[0-9]+$ ]] && [ "$PORT_BASE" -ge 1024 ] && [ "$PORT_BASE" -le 64500 ] ||
  die "TESSALY_MAILSTACK_PORT_BASE must be a number from 1024 to 64500 (got '$PORT_BASE')"
readonly SMTP_PORT=$((PORT_BASE + 25)) SUBMISSION_PORT=$((PORT_BASE + 587))
readonly SMTPS_PORT=$((PORT_BASE + 465)) POP3_PORT=$((PORT_BASE + 110))
readonly POP3S_PORT=$((PORT_BASE + 995)) IMAP_PORT=$((PORT_BASE + 143))
readonly IMAPS_PORT=$((PORT_BASE + 993))
# Implicit TLS on a port that is not the well-known one, as behind a load
# balancer or for a second instance.
readonly SMTPS_ALT_PORT=$((PORT_BASE + 466))
readonly POP3S_ALT_PORT=$((PORT_BASE + 996)) IMAPS_ALT_PORT=$((PORT_BASE + 994))
readonly ALL_PORTS=("$SMTP_PORT" "$SUBMISSION_PORT" "$SMTPS_PORT" "$POP3_PORT" \
                    "$POP3S_PORT" "$IMAP_PORT" "$IMAPS_PORT" "$SMTPS_ALT_PORT" \
                    "$POP3S_ALT_PORT" "$IMAPS_ALT_PORT")

# Plain-text logins refused: Dovecot's IMAP4 and POP3 on their own loopback
# address. Dovecot takes a connection whose local and remote addresses are
# equal (127.0.0.1 to 127.0.0.1) as secured and then allows plain-text
# logins, so these listeners sit on 127.0.0.2: a client connecting there
# comes from 127.0.0.1, and Dovecot advertises LOGINDISABLED (IMAP4), drops
# USER from CAPA (POP3) and offers STARTTLS/STLS.
readonly NOPLAIN_HOST=127.0.0.2
readonly NOPLAIN_IMAP_PORT=$((PORT_BASE + 243)) NOPLAIN_POP3_PORT=$((PORT_BASE + 210))
readonly NOPLAIN_ENDPOINTS=("$NOPLAIN_HOST:$NOPLAIN_IMAP_PORT" "$NOPLAIN_HOST:$NOPLAIN_POP3_PORT")

readonly PF_DIR=$RUN/postfix DC_DIR=$RUN/dovecot TLS_DIR=$RUN/tls MAIL_DIR=$RUN/mail
readonly PF_SPOOL=$PF_DIR/spool PF_LOG=$RUN/log/postfix.log DC_LOG=$RUN/log/dovecot.log
readonly DC_BASE=$DC_DIR/run DC_CONF=$DC_DIR/dovecot.conf
readonly PF_PIDFILE=$PF_SPOOL/pid/master.pid DC_PIDFILE=$DC_BASE/master.pid

# Prints the PID in FILE when it names a live process running BINARY.
live_pid() {
  local file=$1 binary=$2 pid exe
  [ -r "$file" ] || return 1
  pid=$(tr -dc '0-9' <"$file")
  [ -n "$pid" ] || return 1
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 1
  [ "$exe" = "$binary" ] || return 1
  echo "$pid"
}

# Children are selected by their parent PID only, never by name.
direct_children() {
  pgrep -P "$1" 2>/dev/null || true
}

# TERMs each master named by a PID file (only when /proc/PID/exe is the
# expected binary) and its direct children, waits a bounded time for all of
# them together, then KILLs whatever of exactly those PIDs is left.
do_stop() {
  local pids=() pid p waited=0 alive
  oauth_stop
  if pid=$(live_pid "$PF_PIDFILE" "$POSTFIX_MASTER"); then
    pids+=("$pid" $(direct_children "$pid"))
  fi
  if pid=$(live_pid "$DC_PIDFILE" "$DOVECOT_BIN"); then
    pids+=("$pid" $(direct_children "$pid"))
  fi
  if [ ${#pids[@]} -gt 0 ]; then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    while [ $waited -lt $((STOP_WAIT_S * 20)) ]; do
      alive=0
      for p in "${pids[@]}"; do [ -d "/proc/$p" ] && { alive=1; break; }; done
      [ $alive -eq 0 ] && break
      sleep 0.05
      waited=$((waited + 1))
    done
    for p in "${pids[@]}"; do
      if [ -d "/proc/$p" ]; then
        echo "mailstack: PID $p did not exit after ${STOP_WAIT_S}s, killing it" >&2
        kill -KILL "$p" 2>/dev/null || true
      fi
    done
  fi
  rm -f "$PF_PIDFILE" "$DC_PIDFILE"
}

do_status() {
  local rc=0 pid
  if pid=$(live_pid "$PF_PIDFILE" "$POSTFIX_MASTER"); then
    echo "postfix: running (PID $pid)"
  else
    echo "postfix: stopped"; rc=1
  fi
  if pid=$(live_pid "$DC_PIDFILE" "$DOVECOT_BIN"); then
    echo "dovecot: running (PID $pid)"
  else
    echo "dovecot: stopped"; rc=1
  fi
  return $rc
}

make_cert() {
  [ -s "$TLS_DIR/cert.pem" ] && [ -s "$TLS_DIR/key.pem" ] && return 0
  mkdir -p "$TLS_DIR"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 \
    -subj "/CN=mail.$DOMAIN" \
    -addext "subjectAltName=DNS:mail.$DOMAIN,DNS:localhost,IP:127.0.0.1,IP:::1" \
    -keyout "$TLS_DIR/key.pem" -out "$TLS_DIR/cert.pem" >/dev/null 2>&1 ||
    die "openssl could not create the self-signed certificate"
  chmod 0600 "$TLS_DIR/key.pem"
  chmod 0644 "$TLS_DIR/cert.pem"
}

make_mailboxes() {
  local u
  rm -rf "$MAIL_DIR"
  mkdir -p "$MAIL_DIR"
  for u in "${USERS[@]}"; do
    mkdir -p "$MAIL_DIR/$u/Maildir/"{cur,new,tmp}
  done
  chown -R mail:mail "$MAIL_DIR"
  chmod 0755 "$MAIL_DIR"
  for u in "${USERS[@]}"; do chmod -R u=rwX,go= "$MAIL_DIR/$u"; done
}

write_postfix_config() {
  local i u
  rm -rf "$PF_SPOOL"
  mkdir -p "$PF_DIR" "$PF_SPOOL" "$PF_DIR/data" "$RUN/log"
  chown postfix:postfix "$PF_DIR/data"
  : >"$PF_DIR/vmailbox"
  for u in "${USERS[@]}"; do echo "$u@$DOMAIN $u/Maildir/" >>"$PF_DIR/vmailbox"; done
  cat >"$PF_DIR/recipient_access" <<EOF
reject550@$DOMAIN 550 5.1.1 <reject550@$DOMAIN>: Recipient address rejected: mailbox unavailable
tempfail451@$DOMAIN 451 4.3.0 <tempfail451@$DOMAIN>: Recipient address rejected: try again later
reject554@$DOMAIN 554 5.7.1 <reject554@$DOMAIN>: Recipient address rejected: access denied
EOF
  cat >"$PF_DIR/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $PF_SPOOL
data_directory = $PF_DIR/data
maillog_file = $PF_LOG
maillog_file_prefixes = $RUN
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.$DOMAIN
mydomain = $DOMAIN
myorigin = $DOMAIN
mydestination =
inet_interfaces = 127.0.0.1, [::1]
inet_protocols = all
mynetworks = 127.0.0.0/8 [::1]/128
alias_maps =
alias_database =
biff = no
# Nothing ever leaves this machine.
default_transport = error:outbound mail is disabled in the test stack
relay_transport = error:outbound mail is disabled in the test stack
local_transport = error:local delivery is disabled in the test stack
virtual_mailbox_domains = $DOMAIN
virtual_mailbox_base = $MAIL_DIR
virtual_mailbox_maps = texthash:$PF_DIR/vmailbox
virtual_minimum_uid = $(id -u mail)
virtual_uid_maps = static:$(id -u mail)
virtual_gid_maps = static:$(id -g mail)
# Fast replies for tests.
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
in_flow_delay = 0
smtpd_peername_lookup = no
smtpd_delay_reject = no
smtpd_banner = \$myhostname ESMTP
smtpd_relay_restrictions = check_recipient_access texthash:$PF_DIR/recipient_access,
  permit_mynetworks, permit_sasl_authenticated, reject_unauth_destination
smtpd_tls_cert_file = $TLS_DIR/cert.pem
smtpd_tls_key_file = $TLS_DIR/key.pem
smtpd_tls_security_level = may
smtpd_tls_loglevel = 0
smtpd_sasl_type = dovecot
smtpd_sasl_path = $DC_BASE/auth-client
smtpd_sasl_auth_enable = no
smtpd_tls_auth_only = no
broken_sasl_auth_clients = no
EOF
  local services="" addr
  for addr in 127.0.0.1 '[::1]'; do
    services+="$addr:$SMTP_PORT inet n - n - - smtpd
$addr:$SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=postfix/submission
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sender_restrictions=permit_sasl_authenticated,reject
$addr:$SMTPS_PORT inet n - n - - smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
$addr:$SMTPS_ALT_PORT inet n - n - - smtpd
  -o syslog_name=postfix/smtps-alt
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
"
  done
  cat >"$PF_DIR/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command
$services
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       error
relay     unix  -       -       n       -       -       error
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       error
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       error
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
}

write_dovecot_config() {
  local i
  mkdir -p "$DC_DIR" "$DC_DIR/state" "$RUN/log"
  : >"$DC_DIR/users"
  for i in "${!USERS[@]}"; do
    echo "${USERS[$i]}:{PLAIN}${PASSWORDS[$i]}" >>"$DC_DIR/users"
  done
  chown root:dovecot "$DC_DIR/users"
  chmod 0640 "$DC_DIR/users"
  cat >"$DC_CONF" <<EOF
# Own instance for tests: nothing from /etc/dovecot is read.
instance_name = tessaly-$PORT_BASE
base_dir = $DC_BASE
state_dir = $DC_DIR/state
log_path = $DC_LOG
protocols = imap pop3
listen = 127.0.0.1, ::1
ssl = yes
ssl_cert = <$TLS_DIR/cert.pem
ssl_key = <$TLS_DIR/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
auth_username_format = %Ln
first_valid_uid = $(id -u mail)
mail_location = maildir:$MAIL_DIR/%n/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%n $DC_DIR/users
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$MAIL_DIR/%n
}
service imap-login {
  inet_listener imap {
    port = $IMAP_PORT
  }
  inet_listener imaps {
    port = $IMAPS_PORT
    ssl = yes
  }
  inet_listener imaps_alt {
    port = $IMAPS_ALT_PORT
    ssl = yes
  }
}
service pop3-login {
  inet_listener pop3 {
    port = $POP3_PORT
  }
  inet_listener pop3s {
    port = $POP3S_PORT
    ssl = yes
  }
  inet_listener pop3s_alt {
    port = $POP3S_ALT_PORT
    ssl = yes
  }
}
service auth {
  unix_listener auth-client {
    mode = 0660
    user = postfix
    group = postfix
  }
}
# No per-IP failed-login penalty: negative tests must not slow later logins.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
}

# Appended to the Dovecot configuration; Dovecot merges the service
# sections with the ones above.
write_dovecot_noplain_config() {
  cat >>"$DC_CONF" <<EOF
service imap-login {
  inet_listener imap_noplain {
    address = $NOPLAIN_HOST
    port = $NOPLAIN_IMAP_PORT
  }
}
service pop3-login {
  inet_listener pop3_noplain {
    address = $NOPLAIN_HOST
    port = $NOPLAIN_POP3_PORT
  }
}
local $NOPLAIN_HOST {
  disable_plaintext_auth = yes
}
EOF
}

write_env() {
  local i tmp=$RUN/stack.env.tmp
  {
    echo "# Written by mailstack.sh start; shell KEY=VALUE."
    echo "MAILSTACK_DIR=$RUN"
    echo "PORT_BASE=$PORT_BASE"
    echo "HOST4=127.0.0.1"
    echo "HOST6=::1"
    echo "DOMAIN=$DOMAIN"
    echo "SMTP_PORT=$SMTP_PORT"
    echo "SUBMISSION_PORT=$SUBMISSION_PORT"
    echo "SMTPS_PORT=$SMTPS_PORT"
    echo "SMTPS_ALT_PORT=$SMTPS_ALT_PORT"
    echo "POP3_PORT=$POP3_PORT"
    echo "POP3S_PORT=$POP3S_PORT"
    echo "IMAP_PORT=$IMAP_PORT"
    echo "IMAPS_PORT=$IMAPS_PORT"
    echo "POP3S_ALT_PORT=$POP3S_ALT_PORT"
    echo "IMAPS_ALT_PORT=$IMAPS_ALT_PORT"
    echo "NOPLAIN_HOST=$NOPLAIN_HOST"
    echo "NOPLAIN_IMAP_PORT=$NOPLAIN_IMAP_PORT"
    echo "NOPLAIN_POP3_PORT=$NOPLAIN_POP3_PORT"
    echo "USERS=\"${USERS[*]}\""
    for i in "${!USERS[@]}"; do echo "PASSWORD_${USERS[$i]}=${PASSWORDS[$i]}"; done
    echo "MAIL_DIR=$MAIL_DIR"
    echo "MAIL_UID=$(id -u mail)"
    echo "MAIL_GID=$(id -g mail)"
    echo "REJECT550=reject550@$DOMAIN"
    echo "TEMPFAIL451=tempfail451@$DOMAIN"
    echo "REJECT554=reject554@$DOMAIN"
    echo "CERT_FILE=$TLS_DIR/cert.pem"
    echo "KEY_FILE=$TLS_DIR/key.pem"
    echo "POSTFIX_CONFIG_DIR=$PF_DIR"
    echo "POSTFIX_LOG=$PF_LOG"
    echo "DOVECOT_CONFIG=$DC_CONF"
    echo "DOVECOT_LOG=$DC_LOG"
  } >"$tmp"
  mv "$tmp" "$RUN/stack.env"
}

# Runs a daemon's start command with every descriptor above 2 closed and
# stdio on a log file, so that daemons never hold the caller's pipes
# (`start | tee`, `$(start)`, CTest's capture).
run_detached() {
  local out=$1; shift
  (
    for fd in /proc/self/fd/*; do
      fd=${fd##*/}
      [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null
    done
    exec "$@" </dev/null >>"$out" 2>&1
  )
}

port_answers() {
  local host=$1 port=$2
  timeout 1 bash -c "exec 3<>/dev/tcp/$host/$port" 2>/dev/null
}

show_logs() {
  local f
  for f in "$PF_LOG" "$DC_LOG" "$RUN/log/start.out"; do
    [ -s "$f" ] || continue
    echo "---- tail of $f" >&2
    tail -n 20 "$f" >&2
  done
}

do_start() {
  local t0 t1 deadline port host missing
  t0=$(date +%s.%N)
  [ "$(id -u)" -eq 0 ] || die "start must run as root"
  [ -x "$POSTFIX_MASTER" ] || die "Postfix is not installed ($POSTFIX_MASTER)"
  [ -x "$DOVECOT_BIN" ] || die "Dovecot is not installed ($DOVECOT_BIN)"
  do_stop
  rm -f "$RUN/stack.env"
  make_cert
  make_mailboxes
  write_postfix_config
  write_dovecot_config
  write_dovecot_noplain_config
  mkdir -p "$RUN/log"
  : >"$RUN/log/start.out"
  run_detached "$RUN/log/start.out" "$DOVECOT_BIN" -c "$DC_CONF" ||
    { show_logs; die "dovecot did not start"; }
  run_detached "$RUN/log/start.out" postfix -c "$PF_DIR" start ||
    { show_logs; do_stop; die "postfix did not start"; }
  deadline=$((SECONDS + START_WAIT_S))
  while :; do
    missing=""
    for host in 127.0.0.1 ::1; do
      for port in "${ALL_PORTS[@]}"; do
        port_answers "$host" "$port" || missing+=" $host:$port"
      done
    done
    for port in "${NOPLAIN_ENDPOINTS[@]}"; do
      port_answers "${port%:*}" "${port##*:}" || missing+=" $port"
    done
    [ -z "$missing" ] && break
    if [ $SECONDS -ge $deadline ]; then
      show_logs
      do_stop
      die "ports not answering after ${START_WAIT_S}s:$missing"
    fi
    sleep 0.1
  done
  write_env
  t1=$(date +%s.%N)
  printf 'mailstack: started in %.2f s (run dir %s, port base %s)\n' \
    "$(awk "BEGIN{print $t1 - $t0}")" "$RUN" "$PORT_BASE"
}

# ---- OAuth 2.0 part ---------------------------------------------------------
# Started on top of a running stack by `oauth-start`, so the plain stack
# starts as fast as before. It adds, all under RUN_DIR/oauth:
#   - a token endpoint of our own (token_endpoint.py) on HTTPS with a test
#     CA, issuing HS256 JWTs for the client-credentials and refresh grants;
#   - a second Dovecot with the oauth2 passdb validating those JWTs locally
#     (no HTTP call), offering PLAIN LOGIN XOAUTH2 OAUTHBEARER on POP3 and
#     IMAP4 (STARTTLS offered), and its auth socket for Postfix;
#   - a third Dovecot offering XOAUTH2 alone (Dovecot 2.3 reads
#     auth_mechanisms per instance only);
#   - two Postfix submission services through the second Dovecot's SASL:
#     every mechanism, and XOAUTH2 alone (smtpd_sasl_mechanism_filter).
# Both Dovecots serve the same Maildirs as the first one.
readonly OAUTH_DIR=$RUN/oauth
readonly OAUTH_POP3_PORT=$((PORT_BASE + 710)) OAUTH_IMAP_PORT=$((PORT_BASE + 743))
readonly OAUTH_SUBMISSION_PORT=$((PORT_BASE + 787))
readonly XOAUTH2_POP3_PORT=$((PORT_BASE + 711)) XOAUTH2_IMAP_PORT=$((PORT_BASE + 744))
readonly XOAUTH2_SUBMISSION_PORT=$((PORT_BASE + 788))
readonly OAUTH_TOKEN_PORT=$((PORT_BASE + 780))
readonly OAUTH_PORTS=("$OAUTH_POP3_PORT" "$OAUTH_IMAP_PORT" "$OAUTH_SUBMISSION_PORT" \
                      "$XOAUTH2_POP3_PORT" "$XOAUTH2_IMAP_PORT" "$XOAUTH2_SUBMISSION_PORT" \
                      "$OAUTH_TOKEN_PORT")
readonly OAUTH_KID=tessaly-test OAUTH_SCOPE=mail
readonly OAUTH_ISSUER=https://127.0.0.1:$OAUTH_TOKEN_PORT
OAUTH_ENDPOINT_PY=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)/token_endpoint.py
readonly OAUTH_ENDPOINT_PY
readonly OAUTH_PY_PIDFILE=$OAUTH_DIR/endpoint.pid OAUTH_TOKEN_LOG=$RUN/log/token-requests.log
readonly OAUTH_MARK="# ---- OAuth services (mailstack.sh oauth-start)"

oauth_dc_pidfile() { echo "$OAUTH_DIR/$1/run/master.pid"; }

# The endpoint's PID when its PID file names a live process running it.
oauth_endpoint_pid() {
  local pid
  [ -r "$OAUTH_PY_PIDFILE" ] || return 1
  pid=$(tr -dc '0-9' <"$OAUTH_PY_PIDFILE")
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "$OAUTH_ENDPOINT_PY" || return 1
  echo "$pid"
}

oauth_stop() {
  local pids=() pid name p waited=0 alive
  for name in dovecot-oauth dovecot-xoauth2; do
    if pid=$(live_pid "$(oauth_dc_pidfile $name)" "$DOVECOT_BIN"); then
      pids+=("$pid" $(direct_children "$pid"))
    fi
  done
  if pid=$(oauth_endpoint_pid); then pids+=("$pid"); fi
  rm -f "$RUN/oauth.env"
  [ ${#pids[@]} -gt 0 ] || return 0
  kill -TERM "${pids[@]}" 2>/dev/null || true
  while [ $waited -lt $((STOP_WAIT_S * 20)) ]; do
    alive=0
    for p in "${pids[@]}"; do [ -d "/proc/$p" ] && { alive=1; break; }; done
    [ $alive -eq 0 ] && break
    sleep 0.05
    waited=$((waited + 1))
  done
  for p in "${pids[@]}"; do
    if [ -d "/proc/$p" ]; then kill -KILL "$p" 2>/dev/null || true; fi
  done
  rm -f "$OAUTH_PY_PIDFILE"
  return 0
}

# The test CA and the endpoint's certificate (for 127.0.0.1 and localhost),
# and the HS256 key the endpoint signs with and Dovecot validates with.
oauth_make_keys() {
  local d=$OAUTH_DIR/tls keyfile=$OAUTH_DIR/keys/default/HS256/$OAUTH_KID
  mkdir -p "$d" "$OAUTH_DIR/keys/default/HS256"
  if [ ! -s "$d/ca.pem" ] || [ ! -s "$d/endpoint.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 -subj "/CN=tessaly test CA" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
      -keyout "$d/ca-key.pem" -out "$d/ca.pem" >/dev/null 2>&1 || die "openssl: test CA"
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
      -keyout "$d/endpoint-key.pem" -out "$d/endpoint.csr" >/dev/null 2>&1 ||
      die "openssl: endpoint key"
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n' \
      >"$d/endpoint.ext"
    openssl x509 -req -in "$d/endpoint.csr" -CA "$d/ca.pem" -CAkey "$d/ca-key.pem" \
      -CAcreateserial -days 3650 -sha256 -extfile "$d/endpoint.ext" \
      -out "$d/endpoint.pem" >/dev/null 2>&1 || die "openssl: endpoint certificate"
    chmod 0600 "$d/ca-key.pem" "$d/endpoint-key.pem"
    chmod 0644 "$d/ca.pem"
  fi
  [ -s "$keyfile" ] || openssl rand -base64 32 | tr -d '\n' >"$keyfile"
  chown -R root:dovecot "$OAUTH_DIR/keys"
  chmod -R u=rwX,g=rX,o= "$OAUTH_DIR/keys"
}

# Writes the config of one OAuth Dovecot: NAME, its auth mechanisms, POP3
# and IMAP ports, and whether PLAIN/LOGIN by password stay offered.
oauth_write_dovecot() {
  local name=$1 mechs=$2 pop3=$3 imap=$4 with_password=$5 dir=$OAUTH_DIR/$1
  local password_passdb="" oauth_mechs=${2#plain login }
  mkdir -p "$dir/state"
  cat >"$dir/oauth2.conf" <<EOF
introspection_mode = local
local_validation_key_dict = fs:posix:prefix=$OAUTH_DIR/keys/
username_attribute = sub
issuers = $OAUTH_ISSUER
scope = $OAUTH_SCOPE
EOF
  if [ "$with_password" = yes ]; then
    password_passdb="passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%n $DC_DIR/users
  mechanisms = plain login
}"
  fi
  cat >"$dir/dovecot.conf" <<EOF
# OAuth instance for tests ($name): nothing from /etc/dovecot is read.
instance_name = tessaly-$PORT_BASE-$name
base_dir = $dir/run
state_dir = $dir/state
log_path = $RUN/log/$name.log
protocols = imap pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <$TLS_DIR/cert.pem
ssl_key = <$TLS_DIR/key.pem
disable_plaintext_auth = no
auth_mechanisms = $mechs
auth_failure_delay = 0
auth_username_format = %Ln
first_valid_uid = $(id -u mail)
mail_location = maildir:$MAIL_DIR/%n/Maildir
$password_passdb
passdb {
  driver = oauth2
  mechanisms = $oauth_mechs
  args = $dir/oauth2.conf
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$MAIL_DIR/%n
}
service imap-login {
  inet_listener imap {
    port = $imap
  }
  inet_listener imaps {
    port = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    port = $pop3
  }
  inet_listener pop3s {
    port = 0
  }
}
service auth {
  unix_listener auth-client {
    mode = 0660
    user = postfix
    group = postfix
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
}

# The two submission services through the OAuth Dovecot's SASL, appended
# to master.cf once (a fresh start writes master.cf anew).
oauth_postfix_services() {
  grep -qF "$OAUTH_MARK" "$PF_DIR/master.cf" && return 0
  cat >>"$PF_DIR/master.cf" <<EOF
$OAUTH_MARK
127.0.0.1:$OAUTH_SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=postfix/oauth-submission
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_path=$OAUTH_DIR/dovecot-oauth/run/auth-client
  -o smtpd_sender_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$XOAUTH2_SUBMISSION_PORT inet n - n - - smtpd
  -o syslog_name=postfix/xoauth2-submission
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_path=$OAUTH_DIR/dovecot-oauth/run/auth-client
  -o smtpd_sasl_mechanism_filter=xoauth2
  -o smtpd_sender_restrictions=permit_sasl_authenticated,reject
EOF
}

oauth_write_env() {
  local tmp=$RUN/oauth.env.tmp
  {
    echo "# Written by mailstack.sh oauth-start; shell KEY=VALUE."
    echo "OAUTH_POP3_PORT=$OAUTH_POP3_PORT"
    echo "OAUTH_IMAP_PORT=$OAUTH_IMAP_PORT"
    echo "OAUTH_SUBMISSION_PORT=$OAUTH_SUBMISSION_PORT"
    echo "XOAUTH2_POP3_PORT=$XOAUTH2_POP3_PORT"
    echo "XOAUTH2_IMAP_PORT=$XOAUTH2_IMAP_PORT"
    echo "XOAUTH2_SUBMISSION_PORT=$XOAUTH2_SUBMISSION_PORT"
    echo "OAUTH_TOKEN_PORT=$OAUTH_TOKEN_PORT"
    echo "OAUTH_TOKEN_URL=https://127.0.0.1:$OAUTH_TOKEN_PORT/token"
    echo "OAUTH_ADMIN_URL=https://127.0.0.1:$OAUTH_TOKEN_PORT/admin/refresh-token"
    echo "OAUTH_CA_FILE=$OAUTH_DIR/tls/ca.pem"
    echo "OAUTH_CLIENT_SECRET=tessaly-client-secret"
    echo "OAUTH_SCOPE=$OAUTH_SCOPE"
    echo "OAUTH_TOKEN_LOG=$OAUTH_TOKEN_LOG"
    echo "OAUTH_DOVECOT_LOG=$RUN/log/dovecot-oauth.log"
  } >"$tmp"
  mv "$tmp" "$RUN/oauth.env"
}

do_oauth_start() {
  local t0 t1 deadline port missing
  t0=$(date +%s.%N)
  [ "$(id -u)" -eq 0 ] || die "oauth-start must run as root"
  { live_pid "$PF_PIDFILE" "$POSTFIX_MASTER" && live_pid "$DC_PIDFILE" "$DOVECOT_BIN"; } \
    >/dev/null || die "oauth-start needs a running stack in $RUN (mailstack.sh start first)"
  oauth_stop
  oauth_make_keys
  oauth_write_dovecot dovecot-oauth "plain login xoauth2 oauthbearer" \
    "$OAUTH_POP3_PORT" "$OAUTH_IMAP_PORT" yes
  oauth_write_dovecot dovecot-xoauth2 "xoauth2" "$XOAUTH2_POP3_PORT" "$XOAUTH2_IMAP_PORT" no
  : >"$OAUTH_TOKEN_LOG"
  run_detached "$RUN/log/start.out" "$DOVECOT_BIN" -c "$OAUTH_DIR/dovecot-oauth/dovecot.conf" ||
    die "OAuth dovecot did not start"
  run_detached "$RUN/log/start.out" "$DOVECOT_BIN" -c "$OAUTH_DIR/dovecot-xoauth2/dovecot.conf" ||
    { oauth_stop; die "XOAUTH2 dovecot did not start"; }
  # The endpoint runs in the background of its own session, holding none
  # of the caller's descriptors.
  (
    for fd in /proc/self/fd/*; do
      fd=${fd##*/}
      [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null
    done
    exec setsid python3 "$OAUTH_ENDPOINT_PY" --port "$OAUTH_TOKEN_PORT" \
      --cert "$OAUTH_DIR/tls/endpoint.pem" --key "$OAUTH_DIR/tls/endpoint-key.pem" \
      --issuer "$OAUTH_ISSUER" --kid "$OAUTH_KID" \
      --key-file "$OAUTH_DIR/keys/default/HS256/$OAUTH_KID" --scope "$OAUTH_SCOPE" \
      --log "$OAUTH_TOKEN_LOG" --pidfile "$OAUTH_PY_PIDFILE" \
      </dev/null >>"$RUN/log/token-endpoint.out" 2>&1
  ) &
  oauth_postfix_services
  postfix -c "$PF_DIR" reload >>"$RUN/log/start.out" 2>&1 ||
    { oauth_stop; die "postfix reload failed"; }
  deadline=$((SECONDS + START_WAIT_S))
  while :; do
    missing=""
    for port in "${OAUTH_PORTS[@]}"; do
      port_answers 127.0.0.1 "$port" || missing+=" $port"
    done
    [ -z "$missing" ] && oauth_endpoint_pid >/dev/null && break
    if [ $SECONDS -ge $deadline ]; then
      show_logs
      tail -n 20 "$RUN/log/token-endpoint.out" >&2 2>/dev/null || true
      oauth_stop
      die "OAuth ports not answering after ${START_WAIT_S}s:$missing"
    fi
    sleep 0.1
  done
  oauth_write_env
  t1=$(date +%s.%N)
  printf 'mailstack: OAuth part started in %.2f s (run dir %s, port base %s)\n' \
    "$(awk "BEGIN{print $t1 - $t0}")" "$RUN" "$PORT_BASE"
}
# ---- end of the OAuth 2.0 part ----------------------------------------------

case "$ACTION" in
  start) do_start ;;
  stop) do_stop; echo "mailstack: stopped ($RUN)" ;;
  status) do_status ;;
  oauth-start) do_oauth_start ;;
  oauth-stop) oauth_stop; echo "mailstack: OAuth part stopped ($RUN)" ;;
  *) usage ;;
esac
