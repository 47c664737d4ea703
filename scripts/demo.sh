#!/usr/bin/env bash
# The main job: builds tessaly, starts a private mail stack, configures one
# check in mode "SMTP & POP3" and runs its send call and its fetch call.
# Prints both result texts and exit codes; exits 0 only when both were up.
#
# Usage: bash scripts/demo.sh [--no-install]
# Run as root on Debian 12. The stack runs from a directory under the build
# dir on ports TESSALY_MAILSTACK_PORT_BASE + well-known port (default base
# 20500), and is stopped on exit; no system mail service is touched.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TESSALY_DEMO_BUILD:-$ROOT/build-demo}
INSTALL=1
for arg in "$@"; do
  case $arg in
    --no-install) INSTALL=0 ;;
    *) echo "usage: $0 [--no-install]" >&2; exit 3 ;;
  esac
done

if [ "$INSTALL" = 1 ]; then bash "$ROOT/scripts/install-deps.sh"; fi

# Only what the job runs: the command-line binary and the core it links.
# A fresh build directory is configured as in README (RelWithDebInfo) but
# without tests and benchmarks; one configured before (perhaps the
# developer's own) keeps its settings. The compiler's output goes to a log
# that is shown only when the build fails.
mkdir -p "$BUILD"
LOG=$BUILD/demo-build.log
CONFIG=()
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CONFIG=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTESSALY_BENCH=OFF)
fi
echo "demo: building tessaly in $BUILD (log: $LOG)"
if ! { cmake -S "$ROOT" -B "$BUILD" -G Ninja "${CONFIG[@]}" &&
       cmake --build "$BUILD" -j2 --target tessaly_cli_bin; } >"$LOG" 2>&1; then
  tail -n 60 "$LOG" >&2
  echo "demo: build failed; the whole output is in $LOG" >&2
  exit 3
fi
CLI=$BUILD/src/host/tessaly
[ -x "$CLI" ] || { echo "demo: $CLI was not built" >&2; exit 3; }

RUN=$BUILD/demo-stack
export TESSALY_MAILSTACK_PORT_BASE=${TESSALY_MAILSTACK_PORT_BASE:-20500}
stop_stack() { bash "$ROOT/tests/mailstack/mailstack.sh" stop "$RUN" >/dev/null 2>&1 || true; }
trap stop_stack EXIT
bash "$ROOT/tests/mailstack/mailstack.sh" start "$RUN"
# shellcheck disable=SC1091
. "$RUN/stack.env"

STATE=$BUILD/demo.state
rm -f "$STATE"
printf '%s' "$PASSWORD_bob" | "$CLI" set --state "$STATE" \
  OMODE=TESSALY SSRV=127.0.0.1 "SPORT=$SMTP_PORT" \
  SFROM=alice@tessaly.test STO=bob@tessaly.test \
  PSRV=127.0.0.1 "PPORT=$POP3_PORT" PUSR=bob PRET=1 ODSM=T \
  --password-stdin PPWD

run_call() {  # $1 = call name; prints the result text and exit code
  local out rc=0
  out=$("$CLI" check --state "$STATE" --timeout 5) || rc=$?
  echo "$1: $(head -n 1 <<<"$out") (exit $rc)"
  return "$rc"
}
send_rc=0 fetch_rc=0
run_call send || send_rc=$?
run_call fetch || fetch_rc=$?

if [ "$send_rc" = 0 ] && [ "$fetch_rc" = 0 ]; then
  echo "demo: both calls up"
  exit 0
fi
echo "demo: not both calls up" >&2
exit 2
