#!/usr/bin/env bash
# Builds the Debian package: a build tree of its own (BUILD_DIR, default
# build-deb) configured for /usr with Debian's hardening flags, then
# `cpack -G DEB` and lintian when it is installed. Prints the path of the
# .deb on its last line.
#
#   scripts/build-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-deb}
JOBS=${JOBS:-2}

# Debian's own compiler and linker flags for packages, with every hardening
# feature (fortify, stack protector, relro, bindnow).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DTESSALY_BENCH=OFF "${launcher[@]}" \
  -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$BUILD" -j "$JOBS" >/dev/null
rm -f "$BUILD"/tessaly_*.deb
# CPack's own notes (a module without soversion has no shlibs line) are
# shown only when it fails.
if ! (cd "$BUILD" && cpack -G DEB >cpack.log 2>&1); then
  cat "$BUILD/cpack.log" >&2
  exit 1
fi
deb=$(ls "$BUILD"/tessaly_*.deb)
if command -v lintian >/dev/null; then
  # Warnings and errors fail the build; the explained exceptions are in
  # packaging/debian/lintian-overrides, which the package carries.
  lintian --fail-on error,warning "$deb" >&2
fi
echo "$deb"
