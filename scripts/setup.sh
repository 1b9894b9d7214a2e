#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Installs only what is missing; needs root (or sudo) when something is.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev libglib2.0-dev libgtk-3-dev libicu-dev
  unicode-data shared-mime-info desktop-file-utils locales
  bubblewrap dbus dbus-bin xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core weston
  valgrind hyperfine clang libclang-rt-14-dev binutils util-linux procps
  perl dpkg-dev debhelper lintian fakeroot
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" != 0 ]; then sudo=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
