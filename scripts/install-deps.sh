#!/usr/bin/env bash
# Installs what building, running and testing ZOV Kestra Download needs on Debian 12.
# Packages already present are left alone, so a second run does not touch the network.
set -euo pipefail
packages=(
  g++ cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libssl-dev
  nginx-light python3-pyftpdlib tinyproxy openssl ca-certificates strace
  xvfb xauth openbox x11-utils trayer dunst dbus-daemon
  qt6-websockets-dev qt6-svg-dev chromium
  desktop-file-utils appstream dpkg-dev fakeroot
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # nginx-light's and tinyproxy's packages start their system services; the
  # program's tests run their own nginx and tinyproxy on free loopback ports and
  # do not need them.
fi
