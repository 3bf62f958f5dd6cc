#!/usr/bin/env bash
# qarn --text against a real vennixd --simulate on a socket of its own: the package rows of the
# simulated processor, and per-CPU ratios that move with its load.
#   qarn_against_vennixd.sh VENNIXD QARN
set -u
here=$(dirname "$0")
. "$here/../support/vennixd.sh"
start_vennixd "$1" --simulate
export VENNIX_SOCKET=$dir/vennix.sock
# Every tick prints the whole list.
cpus=()
for cpu in 0 1 2 3 4 5 6 7; do cpus+=(--lines "  Used ratio  CPU: $cpu +[0-9]+( +[ ▁▂▃▄▅▆▇█]+)?" 5); done
"$here/expect_run.sh" --lines '  Number of Cores +4' 5 --lines '  Number of CPUs +8' 5 \
  --lines '  Turbo Ratio +RW 42 42 41 40' 5 --lines '  Temperature Target +100' 5 \
  --lines '  Non Turbo Ratio +[0-9]+ (Locked|Unlocked), Max\. 40' 5 "${cpus[@]}" -- "$2" --text --ticks 5 || exit 1
# The ratios move with the simulated load: the CPUs do not all show one value, and the rows of
# the first and the last tick differ.
ratios=$("$2" --text --ticks 5 | sed -n 's/^  Used ratio  CPU: [0-7]  *\([0-9]*\).*/\1/p')
[ "$(sort -u <<<"$ratios" | wc -l)" -gt 1 ] || { echo "FAIL: every CPU shows the same ratio: $ratios"; exit 1; }
[ "$(head -8 <<<"$ratios")" != "$(tail -8 <<<"$ratios")" ] || { echo "FAIL: the ratios did not move"; exit 1; }
echo ok
