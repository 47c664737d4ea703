#!/usr/bin/env bash
# Runs a VBScript test under wine's cscript and judges it by its own result:
# passed only when the script printed "RESULT PASS" as its last line and
# exited 0 (wine's cscript prints nothing and exits 0 on a script error).
# Usage: run_cscript.sh WINE_RUN CSCRIPT_EXE SCRIPT.vbs [ARGS...]
set -uo pipefail
wine_run=$1 cscript=$2 script=$3
shift 3
to_win() { printf 'Z:%s' "${1//\//\\}"; }
args=()
for a in "$@"; do
  if [[ $a == /* ]]; then args+=("$(to_win "$a")"); else args+=("$a"); fi
done
out=$("$wine_run" "$cscript" //nologo "$(to_win "$script")" "${args[@]}" 2>&1 | tr -d '\r')
rc=$?
printf '%s\n' "$out"
last=$(printf '%s\n' "$out" | grep -v '^$' | tail -n 1)
if [ "$rc" -ne 0 ] || [ "$last" != "RESULT PASS" ]; then
  echo "run_cscript: exit code $rc, last line '$last'" >&2
  exit 1
fi
