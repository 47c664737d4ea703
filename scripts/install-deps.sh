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
