#!/usr/bin/env bash
# vennixctl metrics runs until SIGINT or SIGTERM, finishes the line it prints and exits 0.
# Job control on: a background job of a script would otherwise ignore SIGINT.
set -um
vennixctl=$1 out=$(mktemp) failed=0
trap 'rm -f "$out"' EXIT
for signal in INT TERM; do
  timeout 30 "$vennixctl" --simulate metrics --interval 0.05 --json >"$out" 2>/dev/null &
  pid=$!
  sleep 0.5
  kill -s "$signal" "$pid"
  wait "$pid"
  status=$?
  lines=$(wc -l <"$out")
  whole=$(grep -c '^{"time_seconds":.*"simulated":true}$' "$out")
  if [ "$status" -ne 0 ] || [ "$lines" -lt 2 ] || [ "$whole" -ne "$lines" ]; then
    echo "FAIL after SIG$signal: exit status $status, $lines lines, $whole whole objects"; cat "$out"; failed=1
  fi
done
exit "$failed"
