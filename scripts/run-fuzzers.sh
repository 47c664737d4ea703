#!/usr/bin/env bash
# Runs every libFuzzer target built in BUILD_DIR/tests/fuzz for a bounded
# time each and fails when any of them finds a crash, a leak, a sanitizer
# report or a hang.
#
#   scripts/run-fuzzers.sh BUILD_DIR
#
# Environment: FUZZ_SECONDS (default 20) is each target's fuzzing time,
# FUZZ_TIMEOUT (default 5) the seconds one input may take. A seed corpus is
# read from tests/fuzz/corpus/<target>/ when present (the target name with or
# without its "_fuzz" ending); new inputs go to a temporary directory, so
# the source tree is never written. Prints one line per target.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build_dir=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
fuzz_dir=$build_dir/tests/fuzz
seconds=${FUZZ_SECONDS:-20}
per_input=${FUZZ_TIMEOUT:-5}

if [ ! -d "$fuzz_dir" ]; then
  echo "run-fuzzers: $fuzz_dir not found (configure with clang and -DTESSALY_FUZZ=ON)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

found=0
failed=0
for fuzzer in "$fuzz_dir"/*_fuzz; do
  [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
  found=$((found + 1))
  name=$(basename "$fuzzer")
  corpus=$work/$name/corpus
  artifacts=$work/$name/artifacts
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  for seed in "$src_dir/tests/fuzz/corpus/$name" "$src_dir/tests/fuzz/corpus/${name%_fuzz}"; do
    [ -d "$seed" ] && seeds+=("$seed")
  done
  log=$work/$name/log
  # The outer timeout is a safety net for a target that ignores its own limit.
  timeout --kill-after=10 $((seconds + 60)) "$fuzzer" \
    -max_total_time="$seconds" -timeout="$per_input" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ $rc -eq 0 ]; then
    echo "fuzz $name: ok, ${runs:-?} executions in ${seconds}s"
  else
    failed=$((failed + 1))
    echo "fuzz $name: FAILED (exit $rc) after ${runs:-?} executions"
    tail -n 40 "$log" | sed 's/^/  | /'
    for artifact in "$artifacts"/*; do
      [ -f "$artifact" ] || continue
      echo "  input $(basename "$artifact") (base64): $(base64 -w0 "$artifact")"
    done
  fi
done

if [ $found -eq 0 ]; then
  echo "run-fuzzers: no fuzz targets in $fuzz_dir" >&2
  exit 1
fi
if [ $failed -ne 0 ]; then
  echo "run-fuzzers: $failed of $found fuzz targets failed" >&2
  exit 1
fi
echo "run-fuzzers: all $found fuzz targets passed"
