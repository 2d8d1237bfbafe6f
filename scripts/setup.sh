#!/usr/bin/env bash
# Installs every Debian package this project needs to build, test, fuzz and package.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  build-essential g++ clang libclang-rt-14-dev clang-format clang-tidy
  cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libacl1-dev libattr1-dev acl attr
  qt6-base-dev qt6-webengine-dev qt6-webchannel-dev qt6-svg-dev libqt6svg6
  libgl-dev libxcb1-dev xvfb xauth x11-utils xdotool imagemagick
  python3 file dpkg-dev
  lintian appstream desktop-file-utils
  bindfs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
