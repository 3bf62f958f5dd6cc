#!/usr/bin/env bash
# vennixctl_against_vennixd.sh VENNIXD VENNIXCTL: vennixctl against a real vennixd --simulate as
# root, as a reader listed in the access file (may read, not write) and as a user who may not open.
set -u
vennixctl=$2 ec=IOACPIPlane:/_SB/PCI0/LPCB/EC0 failed=0
. "$(dirname "$0")/../../support/vennixd.sh"
[ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null || { echo "skipped: needs root and setpriv"; exit 0; }
echo 4242 >"$dir/users" && start_vennixd "$1" --simulate --users-file "$dir/users"
# expect UID STATUS REGEX ARGUMENTS...: vennixctl as UID exits with STATUS, a line of its output matching REGEX.
expect() {
  setpriv --reuid "$1" --regid "$1" --clear-groups "$vennixctl" --socket "$dir/vennix.sock" "${@:4}" >"$dir/out" 2>&1
  local actual=$?
  [ "$actual" -eq "$2" ] && grep -qE -e "$3" "$dir/out" && return
  echo "FAIL as uid $1: ${*:4} -> exit $actual (expected $2)"; cat "$dir/out"; failed=1
}

expect 0 0 '^wrote 0x9 to MSR 0x8b on every CPU$' wrmsr 0x8B 9 --all
expect 0 0 '^wrote 0x5 to MSR 0x8b on CPUs 0 to 1$' wrmsr 0x8B 5 --cpus 2
expect 0 0 '^0x5$' rdmsr 0x8B --cpu 1
expect 0 0 '^0x9$' rdmsr 0x8B --cpu 2
expect 4242 0 '^0x28292a2a$' rdmsr 0x1AD
expect 4242 1 '^vennixctl: reading MSR 0xc0000082 is refused' rdmsr 0xC0000082
expect 4242 0 '^15$' acpi get $ec _STA
expect 4242 0 '^\{"time_seconds":.*"package_power_watts":[0-9.]+,"simulated":true\}$' metrics --count 2 --interval 0.05 --json
expect 4242 1 '^vennixctl: evaluating _OFF is refused' acpi get $ec _OFF
expect 4242 1 'needs root, or vennixd started with --allow-writes$' wrmsr 0x1AD 1
expect 4242 1 'needs root, or vennixd started with --allow-writes$' acpi set $ec SETV 7
expect 4343 1 '^vennixctl: .*not permitted.*group vennix' info
expect 4343 1 '^vennixctl: .*not permitted.*group vennix' acpi get $ec _STA
[ "$failed" -eq 0 ] || { echo "--- vennixd's log"; cat "$dir/vennixd.log"; exit 1; }
