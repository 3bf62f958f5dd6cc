#!/usr/bin/env bash
# A user who may not open the port is told which group serial ports belong to.
#   display_without_access.sh QARNCTL
set -u
[ "$(id -u)" = 0 ] || { echo "needs root to run qarnctl as another user"; exit 77; }
port=$(mktemp) && chmod 0600 "$port" && trap 'rm -f "$port"' EXIT
err=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$1" display --port "$port" adc 2>&1 >/dev/null)
status=$?
[ "$status" = 1 ] || { echo "exit $status: $err"; exit 1; }
[[ $err == *"no access to $port: serial ports belong to the group dialout"* ]] || { echo "said: $err"; exit 1; }
