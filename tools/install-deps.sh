#!/usr/bin/env bash
# Installs the Debian packages Sentorix needs to build, test and run its demo; does nothing for
# packages already there. Sourced by tools/test.sh and tools/demo.sh.

sentorix_packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libasio-dev uuid-dev libnftables-dev libplist-dev libbpf-dev
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  qt6-base-dev
  nftables iproute2 curl python3 openssl tinyproxy procps strace ngtcp2-client ngtcp2-server btrfs-progs
  dpkg-dev file lintian xvfb xauth xdotool imagemagick chromium systemd-container dbus-user-session
  rsyslog rsyslog-relp
)

sentorix_install_packages() {
  local missing=() p
  for p in "${sentorix_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "sentorix: missing Debian packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # Debian starts tinyproxy as a service on install; the tests start their own.
  apt-get install -y -q --no-install-recommends "${missing[@]}"
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    systemctl disable --now tinyproxy >/dev/null 2>&1 || true
  fi
  pkill -x tinyproxy 2>/dev/null || true
}
