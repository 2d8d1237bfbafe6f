#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# the optimised build, then the AddressSanitizer + UBSan build, then the package and Debian's
# checks on it, then the fuzz targets for a bounded time, then the static checks. Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# The GUI tests run without a display; the browser engine refuses to run as root without this.
export QT_QPA_PLATFORM=offscreen
export QTWEBENGINE_DISABLE_SANDBOX=1

for preset in default asan; do
  echo "=== build and test: ${preset}"
  cmake --preset "${preset}"
  cmake --build --preset "${preset}"
  ctest --preset "${preset}" -j 2
done

# The file stream's own worker thread under ThreadSanitizer: only the file stream tests.
echo "=== build and test: tsan (file stream)"
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan -j 2

# The Debian package as the README builds it, and Debian's own checks on it (lintian,
# appstreamcli, desktop-file-validate): any error or warning fails.
echo "=== package and Debian's checks"
rm -f vyx-encryption_*.deb
cmake --workflow --preset package
bash scripts/check_package.sh vyx-encryption_*.deb

# Every fuzz target for a bounded time (VYX_FUZZ_SECONDS each, 60 by default) under ASan + UBSan.
bash scripts/fuzz.sh "${VYX_FUZZ_SECONDS:-60}"

# clang-tidy and clang-format over the project's own sources, from the default build's compile
# database (and the fuzz build's, for the fuzz targets).
bash scripts/lint.sh build/default

echo "=== all tests passed"
