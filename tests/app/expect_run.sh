#!/usr/bin/env bash
# Runs a program and checks how it ended and what it printed.
#
#   expect_run.sh [--status N] [--lines REGEX COUNT]... [--stderr REGEX]... -- PROGRAM [ARGS...]
#
# --status N           the exit status must be N (default 0)
# --lines REGEX COUNT  exactly COUNT lines of standard output match REGEX as a whole line (ERE)
# --stderr REGEX       standard error contains a match of REGEX (fixed string)
set -u

status=0
line_patterns=()
line_counts=()
stderr_patterns=()
while [ $# -gt 0 ]; do
  case "$1" in
    --status) status=$2; shift 2 ;;
    --lines) line_patterns+=("$2"); line_counts+=("$3"); shift 3 ;;
    --stderr) stderr_patterns+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "expect_run.sh: unknown argument '$1'" >&2; exit 99 ;;
  esac
done
[ $# -gt 0 ] || { echo "expect_run.sh: no program given" >&2; exit 99; }

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

"$@" >"$out" 2>"$err"
actual=$?

failed=0
if [ "$actual" -ne "$status" ]; then
  echo "FAIL: exit status $actual, expected $status"
  failed=1
fi
for i in "${!line_patterns[@]}"; do
  found=$(grep -cxE -e "${line_patterns[$i]}" "$out")
  if [ "$found" -ne "${line_counts[$i]}" ]; then
    echo "FAIL: $found lines of standard output match '${line_patterns[$i]}', expected ${line_counts[$i]}"
    failed=1
  fi
done
for pattern in "${stderr_patterns[@]+"${stderr_patterns[@]}"}"; do
  if ! grep -qF -e "$pattern" "$err"; then
    echo "FAIL: standard error does not contain '$pattern'"
    failed=1
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "--- command: $*"
  echo "--- standard output:"; cat "$out"
  echo "--- standard error:"; cat "$err"
fi
exit "$failed"
