#!/usr/bin/env bash
# Builds and starts the monitor: the window where there is a display, the text list where there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target qarn
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/app/qarn "$@"
else
  exec build/app/qarn --text "$@"
fi
