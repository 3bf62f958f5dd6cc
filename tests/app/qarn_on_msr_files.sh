#!/usr/bin/env bash
# vennixd on MSR files (--msr-directory) with the real CPUID of the machine that runs the test:
# the counts that vennixctl and qarn show are this machine's, as Linux counts them; nothing is
# written to an MSR file; rows whose registers give nothing show no number, and no figure is
# "nan" when the counters stand still.
#   qarn_on_msr_files.sh VENNIXD QARN VENNIXCTL
set -u
vennixd=$1 qarn=$2 vennixctl=$3 expect=$(dirname "$0")/expect_run.sh
. "$(dirname "$0")/../support/vennixd.sh"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

online=$(tr ',' '\n' </sys/devices/system/cpu/online | awk -F- '{ for (i = $1; i <= $NF; i++) print i }')
for cpu in $online; do mkdir -p "$dir/msr/$cpu" && : >"$dir/msr/$cpu/msr"; done
# What Linux says of the first processor's package.
field() { awk -F': ' -v key="$1" '$1 ~ "^"key"[ \t]*$" { print $2; exit }' /proc/cpuinfo; }
cores=$(field "cpu cores") threads=$(field siblings) vendor=$(field vendor_id)
start_vennixd "$vennixd" --msr-directory "$dir/msr"
export VENNIX_SOCKET="$dir/vennix.sock"

"$expect" --lines "cores +$cores" 1 --lines "threads +$threads" 1 --lines "vendor +$vendor" 1 -- "$vennixctl" info ||
  fail "vennixctl info"
# Every register reads 0: whatever the vendor, the MSR rows have nothing to show, and say why.
rows=()
for row in "C-State Limit" "Temperature Target" "Turbo Ratio" "Non Turbo Ratio" "Uncore Ratio" "P-State and SVID"; do
  rows+=(--lines "  $row +-" 2)
done
"$expect" --lines "  Number of Cores +$cores" 2 --lines "  Number of CPUs +$threads" 2 "${rows[@]}" \
  --lines ".*: the rows C-State Limit, .* show no number\." 1 \
  --lines "  Used ratio  CPU: [0-9]+ +-( +[ ▁▂▃▄▅▆▇█]+)?" $((2 * threads)) \
  -- "$qarn" --text --ticks 2 || fail "qarn on registers that read 0"
# The window says it in its title (naming the processor) and shows no number either.
if command -v xvfb-run >/dev/null; then
  "$expect" --lines 'window "Qarn \(.+: no MSR readings\)".*' 1 --lines 'row .* NameValueItem "Turbo Ratio" "-" .*' 1 \
    -- env DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/session-bus QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$qarn" --ticks 2 --dump-window ||
    fail "qarn's window"
fi
for cpu in $online; do [ ! -s "$dir/msr/$cpu/msr" ] || fail "an MSR of CPU $cpu was written"; done

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
if [ "$vendor" = GenuineIntel ]; then
  metrics=(--lines "multiplier +36\.00 .*" 1) ratio="[0-9]+"
else # another vendor's processor: not a measurement, whatever its files say
  metrics=(--status 1 --stderr "is not an Intel processor") ratio="-"
fi
nan=(--lines ".*[Nn][Aa][Nn].*" 0)
"$expect" "${metrics[@]}" "${nan[@]}" -- "$vennixctl" metrics --interval 0.05 || fail "vennixctl metrics"
"$expect" "${nan[@]}" --lines "  Used ratio  CPU: [0-9]+ +$ratio( +[ ▁▂▃▄▅▆▇█]+)?" $((3 * threads)) \
  -- "$qarn" --text --ticks 3 ||
  fail "qarn on counters that stand still"
[ "$failed" -eq 0 ] || { cat "$dir/vennixd.log"; exit 1; }
echo ok
