#!/usr/bin/env bash
# Builds the program, starts its real window under a virtual X display with some values filled
# in, and saves a picture of it to docs/screenshot.png (shown in the README).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target vyx-screenshot

if [ "$(id -u)" -eq 0 ]; then
  # The embedded browser engine will not start its sandbox as root.
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
mkdir -p docs
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  ./build/default/app/vyx-screenshot docs/screenshot.png
echo "wrote docs/screenshot.png"
