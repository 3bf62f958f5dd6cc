#!/usr/bin/env bash
# vennixd on MSR files (--msr-directory) with the real CPUID of the machine that runs the test:
# the counts that vennixctl and qarn show are this machine's, as Linux counts them; nothing is
# written to an MSR file; rows whose registers give nothing show no number, and no figure is
# "nan" when the counters stand still.
#
#   qarn_on_msr_files.sh VENNIXD QARN VENNIXCTL
set -u
vennixd=$1 qarn=$2 vennixctl=$3

. "$(dirname "$0")/../support/vennixd.sh"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

online=$(cut -d, -f1- /sys/devices/system/cpu/online | tr ',' '\n' |
  awk -F- '{ if (NF == 2) for (i = $1; i <= $2; i++) print i; else print $1 }')
for cpu in $online; do
  mkdir -p "$dir/msr/$cpu" && : >"$dir/msr/$cpu/msr"
done
# What Linux says of the first processor's package.
field() { awk -F': ' -v key="$1" '$1 ~ "^"key"[ \t]*$" { print $2; exit }' /proc/cpuinfo; }
cores=$(field "cpu cores") threads=$(field siblings) vendor=$(field vendor_id)

start_vennixd "$vennixd" --msr-directory "$dir/msr"
export VENNIX_SOCKET="$dir/vennix.sock"

"$vennixctl" info >"$dir/info" 2>&1 || fail "vennixctl info exited with $?"
grep -qx "cores        $cores" "$dir/info" || fail "vennixctl info does not say $cores cores"
grep -qx "threads      $threads" "$dir/info" || fail "vennixctl info does not say $threads threads"
grep -qx "vendor       $vendor" "$dir/info" || fail "vennixctl info does not say vendor $vendor"

"$qarn" --text --ticks 2 >"$dir/out" 2>"$dir/err" || fail "qarn exited with $?"
expect_lines() { # REGEX COUNT
  local found
  found=$(grep -cxE -e "$1" "$dir/out")
  [ "$found" -eq "$2" ] || fail "$found lines of qarn match '$1', expected $2"
}
# Every register reads 0: whatever the vendor, the MSR rows have nothing to show, and say why.
expect_lines "  Number of Cores +$cores" 2
expect_lines "  Number of CPUs +$threads" 2
expect_lines ".*: the rows C-State Limit, .* show no number\." 1
for row in "C-State Limit" "Temperature Target" "Turbo Ratio" "Non Turbo Ratio" "Uncore Ratio" "P-State and SVID"; do
  expect_lines "  $row +-" 2
done
expect_lines "  Used ratio  CPU: [0-9]+ +-" $((2 * threads))

# The window says it in its title (naming the processor) and shows no number either.
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$qarn" --ticks 2 --dump-window >"$dir/window" 2>&1 ||
    fail "qarn's window exited with $?"
  grep -qE '^window "Qarn \(.+: no MSR readings\)"' "$dir/window" || fail "the window's title does not say so"
  grep -qE 'NameValueItem "Turbo Ratio" "-"' "$dir/window" || fail "the window shows a turbo ratio"
fi

for cpu in $online; do
  [ ! -s "$dir/msr/$cpu/msr" ] || fail "an MSR of CPU $cpu was written"
done

# Registers of a running Intel part whose APERF and MPERF stand still.
put() { # CPU MSR VALUE: 8 bytes, little-endian, at offset MSR
  local bytes="" i
  for i in 0 1 2 3 4 5 6 7; do bytes+=$(printf '\\x%02x' $((($3 >> (8 * i)) & 0xFF))); done
  printf "$bytes" | dd of="$dir/msr/$1/msr" bs=1 seek=$(($2)) conv=notrunc status=none
}
for cpu in $online; do
  put "$cpu" 0xCE $((24 << 8)); put "$cpu" 0x198 $((36 << 8)); put "$cpu" 0x1AD 40
  put "$cpu" 0xE8 1000; put "$cpu" 0xE7 1000
done
"$vennixctl" metrics --interval 0.05 >"$dir/metrics" 2>&1
status=$?
grep -qi "nan" "$dir/metrics" && fail "vennixctl metrics printed nan"
"$qarn" --text --ticks 3 >"$dir/out" 2>"$dir/err" || fail "qarn exited with $?"
grep -qi "nan" "$dir/out" && fail "qarn printed nan"
if [ "$vendor" = GenuineIntel ]; then
  [ "$status" -eq 0 ] || fail "vennixctl metrics exited with $status"
  grep -qE "^multiplier +36\.00 " "$dir/metrics" || fail "vennixctl metrics does not show the multiplier 36"
  expect_lines "  Used ratio  CPU: [0-9]+ +[0-9]+" $((3 * threads))
else
  # Another vendor's processor: not a measurement, whatever its files say.
  [ "$status" -eq 1 ] || fail "vennixctl metrics exited with $status on a $vendor processor"
  grep -q "is not an Intel processor" "$dir/metrics" || fail "vennixctl metrics does not say why"
  expect_lines "  Used ratio  CPU: [0-9]+ +-" $((3 * threads))
fi

if [ "$failed" -ne 0 ]; then
  for f in info out err window metrics vennixd.log; do echo "--- $f"; cat "$dir/$f"; done
  exit 1
fi
echo "ok"
