#!/usr/bin/env bash
# Builds the Debian packages vennixd and qarn from this tree into build/packages/, from the
# normal build (the programs the test suite runs), installed under /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset default -j "$(nproc)"
rm -rf build/packages
(cd build && cpack -G DEB)
ls -l build/packages/*.deb
