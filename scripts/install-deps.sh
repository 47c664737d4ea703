#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Postfix is preseeded so that its installer asks nothing and configures
# nothing; the project runs its own instances from its own directories.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libcurl4-openssl-dev libssl-dev openssl curl ca-certificates nlohmann-json3-dev \
  qt6-base-dev libgl-dev \
  fonts-dejavu-core fonts-dejavu-extra \
  postfix dovecot-core dovecot-pop3d dovecot-imapd \
  python3 procps iproute2 >/dev/null

# The Windows build: mingw-w64 cross compilers (posix threads), widl, wine
# with its IDL files for the type libraries, and the 32-bit wine for the
# 32-bit DLL. wine's SChannel needs libgnutls30 of each architecture, which
# is only a Recommends. The dialog tests run on a private Xvfb display and
# draw with wine's own fonts (Tahoma, Marlett), also only Recommends.
dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
  wine wine64 wine32:i386 wine64-tools libgnutls30 libgnutls30:i386 \
  xvfb fonts-wine >/dev/null
