#!/usr/bin/env bash
# Builds and starts the monitor: the window where there is a display, the text list where there is
# none. Where this machine gives no MSR access (no msr module, or not root), and no vennixd answers,
# it shows the simulated processor (qarn --simulate) and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target qarn vennixd

arguments=("$@")
socket=${VENNIX_SOCKET:-/run/vennix/vennix.sock}
if [ ! -S "$socket" ] && ! { [ -r /dev/cpu/0/msr ] && [ "$(id -u)" -eq 0 ]; }; then
  echo "run.sh: no MSR access on this machine and no vennixd at $socket: showing the simulated processor" >&2
  arguments=(--simulate "${arguments[@]}")
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  arguments=(--text "${arguments[@]}")
fi
exec build/app/qarn "${arguments[@]}"
