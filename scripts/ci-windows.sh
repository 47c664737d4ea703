#!/usr/bin/env bash
# The Windows part of CI: cross-builds comtessaly.dll and kalrowsmtp.dll for
# both bitnesses with mingw-w64, makes a fresh wine prefix shared by both
# (as one Windows holds both registrations), and runs the Windows tests
# under wine: unit tests, the registration, the connection, the
# end-to-end checks from C++ and VBScript against the local mail stack, and
# the configuration dialog on a private Xvfb display.
# Prints the time of each step. Run from the repository root after
# scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
export WINEDEBUG=-all
PREFIX=$PWD/build-wine/prefix
step_start=$SECONDS
step() {  # step NAME: closes the previous step's timing, opens the next
  local now=$SECONDS
  if [ -n "${step_name:-}" ]; then
    printf '== windows: %-20s %4d s\n' "$step_name" $((now - step_start))
  fi
  step_name=$1 step_start=$now
}

configure_and_build() {  # configure_and_build BITS TRIPLE
  cmake -S . -B "build-win$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$2.cmake" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTESSALY_WINEPREFIX="$PREFIX"
  cmake --build "build-win$1" -j "$JOBS"
}

step "build 64-bit"
configure_and_build 64 x86_64-w64-mingw32
step "build 32-bit"
configure_and_build 32 i686-w64-mingw32

step "fresh wine prefix"
# The dialog tests' prefix (build/wine-display-run.sh) is made afresh on
# their first run.
rm -rf "$PREFIX" "$PREFIX-display"
mkdir -p "$(dirname "$PREFIX")"
WINEPREFIX=$PREFIX WINEDLLOVERRIDES=mscoree,mshtml= /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
WINEPREFIX=$PREFIX wineserver -w

# The tests register both DLLs with regsvr32 in that prefix first.
step "tests 64-bit"
ctest --test-dir build-win64 --output-on-failure -j "$JOBS"

step "tests 32-bit"
# A kernel without 32-bit program support (no IA32 emulation) cannot start
# wine's 32-bit loader; the 32-bit DLLs are then built but not run.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  ctest --test-dir build-win32 --output-on-failure -j "$JOBS"
else
  echo "windows: 32-bit tests skipped: this kernel cannot run 32-bit programs"
fi
step ""
WINEPREFIX=$PREFIX wineserver -k 2>/dev/null || true
