#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the program and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target vyx-encryption

if [ "$(id -u)" -eq 0 ]; then
  # The embedded browser engine will not start its sandbox as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
exec ./build/default/app/vyx-encryption "$@"
