#!/usr/bin/env bash
# The Debian package and the shipped engine examples on the real engines:
#   1. installs the package (apt-get install ./tessaly_*.deb), runs the
#      installed tessaly --version and one send against the mail stack;
#   2. installs Debian's nagios4-core and icinga2 with a policy-rc.d of its
#      own, so no package starts a service, and checks that none runs;
#   3. validates the shipped examples with `nagios4 -v` and
#      `icinga2 daemon -C`, each in a copy of Debian's stock configuration;
#   4. runs Nagios for real from its own directory with the shipped command
#      and service (only the state file moved there), against the mail
#      stack, until its status file shows the service OK with a delivery
#      value, prints that record, and stops Nagios by its PID.
# Nothing under /etc changes; every file lives under WORK_DIR.
#
#   tests/engines/run-engines.sh DEB_FILE [WORK_DIR]
#
# Runs as root. The mail stack's ports follow TESSALY_MAILSTACK_PORT_BASE
# (default 20000), as tests/mailstack/mailstack.sh does.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$(pwd -P)

[ $# -ge 1 ] || { echo "usage: run-engines.sh DEB_FILE [WORK_DIR]" >&2; exit 2; }
DEB=$(readlink -f "$1")
WORK=${2:-$ROOT/build-engines}
readonly EXAMPLES=/usr/share/doc/tessaly/examples
readonly WAIT_S=90

say() { echo "== engines: $*"; }
die() { echo "engines: $*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd -P)
NAGIOS_PID=
STACK_STARTED=

# Our own policy-rc.d for the installs: exit 101 tells invoke-rc.d and
# deb-systemd-invoke to start nothing. One that was there before is put
# back afterwards, untouched.
readonly POLICY=/usr/sbin/policy-rc.d POLICY_SAVED=$WORK/policy-rc.d.saved
policy_installed=
guard_services() {
  if [ -e "$POLICY" ]; then cp -p "$POLICY" "$POLICY_SAVED"; fi
  printf '#!/bin/sh\n# tessaly engine test: no service starts during its installs.\nexit 101\n' >"$POLICY"
  chmod 755 "$POLICY"
  policy_installed=1
}
unguard_services() {
  [ -n "$policy_installed" ] || return 0
  if [ -e "$POLICY_SAVED" ]; then mv -f "$POLICY_SAVED" "$POLICY"; else rm -f "$POLICY"; fi
  policy_installed=
}

# A process whose executable is one of the engines' daemons, by /proc.
engine_daemons() {
  local exe pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    case "$exe" in
      /usr/sbin/nagios4 | /usr/lib/x86_64-linux-gnu/icinga2/sbin/icinga2 | /usr/sbin/icinga2)
        [ "$pid" = "$NAGIOS_PID" ] || echo "$pid $exe" ;;
    esac
  done
}

cleanup() {
  local rc=$?
  unguard_services
  if [ -n "$NAGIOS_PID" ] && kill -0 "$NAGIOS_PID" 2>/dev/null; then
    kill "$NAGIOS_PID" 2>/dev/null || true
    wait "$NAGIOS_PID" 2>/dev/null || true
  fi
  if [ -n "$STACK_STARTED" ]; then
    bash tests/mailstack/mailstack.sh stop "$WORK/mailstack" >/dev/null 2>&1 </dev/null || true
  fi
  exit "$rc"
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
say "installing the package and the engines"
guard_services
# nagios4-core is the engine itself; the nagios4 package adds the web
# interface (Apache, PHP), which nothing here uses.
apt-get install -y -qq --no-install-recommends nagios4-core icinga2 monitoring-plugins-basic \
  >"$WORK/apt.log" 2>&1 || { cat "$WORK/apt.log" >&2; die "apt-get failed"; }
# --reinstall: a package of the same version left by an earlier run is
# replaced by this build, never kept.
apt-get install -y -qq --no-install-recommends --reinstall "$DEB" >>"$WORK/apt.log" 2>&1 ||
  { cat "$WORK/apt.log" >&2; die "apt-get install of the package failed"; }
unguard_services
cmp -s /usr/bin/tessaly <(dpkg-deb --fsys-tarfile "$DEB" | tar -xO ./usr/bin/tessaly) ||
  die "/usr/bin/tessaly is not the one in $DEB"
running=$(engine_daemons)
[ -z "$running" ] || die "an engine service was started by its package: $running"

say "installed: $(command -v tessaly), $(/usr/bin/tessaly --version)"
[ "$(command -v tessaly)" = /usr/bin/tessaly ] || die "tessaly is not /usr/bin/tessaly"

say "starting the mail stack"
bash tests/mailstack/mailstack.sh start "$WORK/mailstack" >"$WORK/mailstack.log" 2>&1 </dev/null ||
  { cat "$WORK/mailstack.log" >&2; die "mail stack did not start"; }
STACK_STARTED=1
# shellcheck disable=SC1091
. "$WORK/mailstack/stack.env"

# One check from the installed path: a send of mode SMTP.
state=$WORK/send.state
/usr/bin/tessaly set --state "$state" OMODE=SMTP SSRV=127.0.0.1 "SPORT=$SMTP_PORT" \
  SFROM=alice@$DOMAIN STO=carol@$DOMAIN
line=$(/usr/bin/tessaly check --state "$state" --timeout 5 --no-send-wait --perfdata) ||
  die "installed tessaly check failed: $line"
say "installed check: $line"

say "validating the examples: nagios4 -v"
nv=$WORK/nagios-validate
cp -r /etc/nagios4 "$nv"
cp "$EXAMPLES/nagios4/tessaly.cfg" "$nv/conf.d/"
sed -i "s|/etc/nagios4|$nv|g" "$nv/nagios.cfg"
nagios4 -v "$nv/nagios.cfg" >"$WORK/nagios-validate.log" 2>&1 ||
  { cat "$WORK/nagios-validate.log" >&2; die "nagios4 -v refused the example"; }
grep -E "Total (Warnings|Errors)" "$WORK/nagios-validate.log"

say "validating the examples: icinga2 daemon -C"
iv=$WORK/icinga2-validate
cp -r /etc/icinga2 "$iv"
cp "$EXAMPLES/icinga2/tessaly.conf" "$iv/conf.d/"
mkdir -p "$iv/cache" "$iv/data" "$iv/log" "$iv/run"
# Icinga 2 reads its configuration as the user nagios.
chmod -R a+rX "$iv"
chown nagios: "$iv/cache" "$iv/data" "$iv/log" "$iv/run"
icinga2 daemon -C -c "$iv/icinga2.conf" -DConfiguration.CacheDir="$iv/cache" \
  -DConfiguration.DataDir="$iv/data" -DConfiguration.LogDir="$iv/log" \
  -DConfiguration.RunDir="$iv/run" -DConfiguration.InitRunDir="$iv/run" \
  >"$WORK/icinga2-validate.log" 2>&1 ||
  { cat "$WORK/icinga2-validate.log" >&2; die "icinga2 daemon -C refused the example"; }
grep -E "CheckCommands|Services|Finished validating" "$WORK/icinga2-validate.log"

say "running Nagios with the shipped service"
nr=$WORK/nagios
mkdir -p "$nr/etc" "$nr/spool" "$nr/rw" "$nr/tmp"
cycle=$nr/mail.state
# The shipped command and service, with the state file moved here.
sed "s|/var/lib/tessaly/mail.state|$cycle|" "$EXAMPLES/nagios4/tessaly.cfg" >"$nr/etc/tessaly.cfg"
cp /etc/nagios4/objects/templates.cfg /etc/nagios4/objects/timeperiods.cfg \
  /etc/nagios4/objects/contacts.cfg "$nr/etc/"
# The host and the commands Debian's stock contact needs, doing nothing.
cat >"$nr/etc/localhost.cfg" <<'CFG'
define command {
    command_name    host_up
    command_line    /bin/true
}
define command {
    command_name    notify-host-by-email
    command_line    /bin/true
}
define command {
    command_name    notify-service-by-email
    command_line    /bin/true
}
define host {
    use                 generic-host
    host_name           localhost
    address             127.0.0.1
    check_command       host_up
    max_check_attempts  1
    contact_groups      admins
}
CFG
# interval_length=1 makes the service's check_interval of 5 mean seconds:
# a send, then the fetch five seconds later.
cat >"$nr/etc/nagios.cfg" <<CFG
log_file=$nr/nagios.log
cfg_file=$nr/etc/templates.cfg
cfg_file=$nr/etc/timeperiods.cfg
cfg_file=$nr/etc/contacts.cfg
cfg_file=$nr/etc/localhost.cfg
cfg_file=$nr/etc/tessaly.cfg
object_cache_file=$nr/objects.cache
precached_object_file=$nr/objects.precache
status_file=$nr/status.dat
status_update_interval=1
temp_file=$nr/nagios.tmp
temp_path=$nr/tmp
lock_file=$nr/nagios.lock
check_result_path=$nr/spool
check_result_reaper_frequency=1
command_file=$nr/rw/nagios.cmd
check_external_commands=0
state_retention_file=$nr/retention.dat
retain_state_information=0
use_retained_program_state=0
use_retained_scheduling_info=0
nagios_user=nagios
nagios_group=nagios
interval_length=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
max_service_check_spread=1
max_host_check_spread=1
service_check_timeout=60
use_syslog=0
enable_notifications=0
enable_flap_detection=0
process_performance_data=0
check_for_updates=0
illegal_macro_output_chars=\`~\$&|'"<>
CFG
chown -R nagios: "$nr"
# The cycle's configuration, owned by the engine's user like the examples say.
runuser -u nagios -- /usr/bin/tessaly set --state "$cycle" OMODE=TESSALY SSRV=127.0.0.1 \
  "SPORT=$SMTP_PORT" SFROM=alice@$DOMAIN STO=bob@$DOMAIN PSRV=127.0.0.1 "PPORT=$POP3_PORT" \
  PUSR=bob --password-stdin PPWD <<<"$PASSWORD_bob"
nagios4 -v "$nr/etc/nagios.cfg" >"$WORK/nagios-run-validate.log" 2>&1 ||
  { cat "$WORK/nagios-run-validate.log" >&2; die "nagios4 -v refused the run configuration"; }
nagios4 "$nr/etc/nagios.cfg" >"$WORK/nagios-run.log" 2>&1 &
NAGIOS_PID=$!

# The service's record in the status file, one KEY=VALUE a line.
service_status() {
  [ -r "$nr/status.dat" ] || return 0
  awk '/^servicestatus \{/ {inside=1; block=""; next}
       inside && /^\t\}/ {inside=0; if (block ~ /service_description=Mail round trip\n/) print block; next}
       inside {sub(/^\t/, ""); block = block $0 "\n"}' "$nr/status.dat"
}
deadline=$((SECONDS + WAIT_S))
record=
while [ $SECONDS -lt $deadline ]; do
  kill -0 "$NAGIOS_PID" 2>/dev/null || { cat "$WORK/nagios-run.log" >&2; die "Nagios stopped"; }
  record=$(service_status)
  if grep -q '^current_state=0$' <<<"$record" && grep -q '^performance_data=.*delivery=' <<<"$record"; then
    break
  fi
  record=
  sleep 1
done
[ -n "$record" ] || {
  service_status >&2
  tail -20 "$nr/nagios.log" >&2
  die "no OK record with a delivery value within $WAIT_S s"
}
say "Nagios's own record of the service:"
grep -E '^(host_name|service_description|current_state|plugin_output|long_plugin_output|performance_data|check_command|last_check)=' <<<"$record" | sed 's/^/   /'
grep "SERVICE ALERT\|tessaly\|Mail round trip" "$nr/nagios.log" | tail -5 | sed 's/^/   log: /' || true

kill "$NAGIOS_PID"
wait "$NAGIOS_PID" 2>/dev/null || true
NAGIOS_PID=
running=$(engine_daemons)
[ -z "$running" ] || die "engine processes left after the stop: $running"
say "passed"
