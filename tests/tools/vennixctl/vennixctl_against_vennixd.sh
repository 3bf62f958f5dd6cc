#!/usr/bin/env bash
# vennixctl against a real vennixd --simulate: as root, as a user in the access file (may read,
# may not write) and as a user who may not open the service.
#
#   vennixctl_against_vennixd.sh VENNIXD VENNIXCTL
set -u
vennixd=$1 vennixctl=$2
reader=4242 stranger=4343

. "$(dirname "$0")/../../support/vennixd.sh"
echo "$reader" >"$dir/users"
start_vennixd "$vennixd" --simulate --users-file "$dir/users"

failed=0
# matches FILE REGEX: "" matches anything, "-" only an empty file.
matches() {
  case "$2" in
    "") return 0 ;;
    -) [ ! -s "$1" ] ;;
    *) grep -qE -e "$2" "$1" ;;
  esac
}
# expect STATUS OUT_REGEX ERR_REGEX -- COMMAND...
expect() {
  local status=$1 out=$2 err=$3
  shift 4
  "$@" >"$dir/out" 2>"$dir/err"
  local actual=$?
  if [ "$actual" -ne "$status" ] || ! matches "$dir/out" "$out" || ! matches "$dir/err" "$err"; then
    echo "FAIL: $* -> exit $actual (expected $status)"
    echo "--- out"; cat "$dir/out"; echo "--- err"; cat "$dir/err"
    failed=1
  fi
}
ctl=("$vennixctl" --socket "$dir/vennix.sock")
as() { # UID COMMAND...
  local uid=$1
  shift
  setpriv --reuid "$uid" --regid "$uid" --clear-groups "$@"
}

expect 0 '^15$' '' -- "${ctl[@]}" acpi get IOACPIPlane:/_SB/PCI0/LPCB/EC0 _STA
expect 0 '^OSNumber$' '' -- "${ctl[@]}" acpi check IOACPIPlane:/_SB/PCI0/LPCB/EC0 _STA
expect 0 '^Falscher Key$' '' -- "${ctl[@]}" acpi check IOACPIPlane:/_SB/PCI0/LPCB/EC0 NOPE
expect 0 '^brand +Simulated' 'simulated processor' -- "${ctl[@]}" info
expect 0 '^wrote 0x26272829 to MSR 0x1ad on every CPU$' '' -- "${ctl[@]}" wrmsr 0x1AD 0x26272829 --all
expect 0 '^0x26272829$' '' -- "${ctl[@]}" rdmsr 0x1AD --cpu 5

if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  expect 0 '^0x26272829$' '' -- as "$reader" "${ctl[@]}" rdmsr 0x1AD
  expect 1 - 'reading MSR 0xc0000082 is refused' -- as "$reader" "${ctl[@]}" rdmsr 0xC0000082
  expect 0 '^15$' '' -- as "$reader" "${ctl[@]}" acpi get IOACPIPlane:/_SB/PCI0/LPCB/EC0 _STA
  expect 1 - 'evaluating _OFF is refused' -- as "$reader" "${ctl[@]}" acpi get IOACPIPlane:/_SB/PCI0/LPCB/EC0 _OFF
  expect 1 - 'needs root, or vennixd started with --allow-writes' -- as "$reader" "${ctl[@]}" wrmsr 0x1AD 0x28292A2A
  expect 1 - 'needs root, or vennixd started with --allow-writes' -- as "$reader" "${ctl[@]}" acpi set IOACPIPlane:/_SB/PCI0/LPCB/EC0 SETV 7
  expect 0 '^0x26272829$' '' -- "${ctl[@]}" rdmsr 0x1AD
  expect 1 - 'not permitted.*group vennix' -- as "$stranger" "${ctl[@]}" info
  expect 1 - 'not permitted.*group vennix' -- as "$stranger" "${ctl[@]}" acpi get IOACPIPlane:/_SB/PCI0/LPCB/EC0 _STA
else
  echo "not root (or no setpriv): the other users' runs are left out"
fi

[ "$failed" -eq 0 ] || { echo "--- vennixd's log"; cat "$dir/vennixd.log"; exit 1; }
echo ok
