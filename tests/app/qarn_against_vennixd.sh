#!/usr/bin/env bash
# qarn --text against a real vennixd --simulate on a socket of its own: the package rows of the
# simulated processor, and per-CPU ratios that move with its load.
#
#   qarn_against_vennixd.sh VENNIXD QARN [QARN ARGS...]
set -u
vennixd=$1 qarn=$2
shift 2

. "$(dirname "$0")/../support/vennixd.sh"
start_vennixd "$vennixd" --simulate

VENNIX_SOCKET="$dir/vennix.sock" "$qarn" --text --ticks 5 "$@" >"$dir/out" 2>"$dir/err"
status=$?
failed=0
fail() { echo "FAIL: $*"; failed=1; }
[ "$status" -eq 0 ] || fail "qarn exited with $status"

# Every tick prints the whole list.
expect_lines() { # REGEX COUNT
  local found
  found=$(grep -cxE -e "$1" "$dir/out")
  [ "$found" -eq "$2" ] || fail "$found lines match '$1', expected $2"
}
expect_lines '  Number of Cores +4' 5
expect_lines '  Number of CPUs +8' 5
expect_lines '  Turbo Ratio +RW 42 42 41 40' 5
expect_lines '  Temperature Target +100' 5
expect_lines '  Non Turbo Ratio +[0-9]+ (Locked|Unlocked), Max\. 40' 5
expect_lines '  Used ratio  CPU: [0-7] +[0-9]+' 40
for cpu in 0 1 2 3 4 5 6 7; do
  expect_lines "  Used ratio  CPU: $cpu +[0-9]+" 5
done

# The ratios move with the simulated load: the CPUs do not all show one value, and the rows of
# the first and the last tick differ.
ratios=$(grep -E '^  Used ratio  CPU: ' "$dir/out" | awk '{print $NF}')
[ "$(echo "$ratios" | sort -u | wc -l)" -gt 1 ] || fail "every CPU shows the same ratio"
first=$(grep -E '^  Used ratio  CPU: ' "$dir/out" | head -8)
last=$(grep -E '^  Used ratio  CPU: ' "$dir/out" | tail -8)
[ "$first" != "$last" ] || fail "the per-CPU ratios did not move between the first and the last tick"

if [ "$failed" -ne 0 ]; then
  echo "--- qarn's output"; cat "$dir/out"; echo "--- qarn's errors"; cat "$dir/err"
  echo "--- vennixd's log"; cat "$dir/vennixd.log"
  exit 1
fi
echo "ok"
