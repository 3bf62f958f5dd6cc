#!/usr/bin/env bash
# Runs a program and checks how it ended and what it printed:
#   expect_run.sh [--status N] [--lines REGEX COUNT]... [--stderr TEXT]... -- PROGRAM [ARGS...]
# The exit status is N (default 0), exactly COUNT lines of standard output match REGEX as a whole
# line (ERE), and standard error contains each TEXT.
set -u
status=0 patterns=() counts=() texts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --status) status=$2; shift 2 ;;
    --lines) patterns+=("$2"); counts+=("$3"); shift 3 ;;
    --stderr) texts+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "expect_run.sh: unknown argument '$1'" >&2; exit 99 ;;
  esac
done
[ $# -gt 0 ] || { echo "expect_run.sh: no program given" >&2; exit 99; }
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err"
actual=$? failed=0
fail() { echo "FAIL: $*"; failed=1; }
[ "$actual" -eq "$status" ] || fail "exit status $actual, expected $status"
for i in "${!patterns[@]}"; do
  found=$(grep -cxE -e "${patterns[$i]}" "$out")
  [ "$found" -eq "${counts[$i]}" ] || fail "$found lines match '${patterns[$i]}', expected ${counts[$i]}"
done
for text in "${texts[@]+"${texts[@]}"}"; do
  grep -qF -e "$text" "$err" || fail "standard error does not contain '$text'"
done
[ "$failed" -eq 0 ] || { echo "--- command: $*"; echo "--- output:"; cat "$out"; echo "--- errors:"; cat "$err"; }
exit "$failed"
