#!/usr/bin/env bash
# The installer script, run as root as pkexec runs it, into a temporary root with fake systemctl
# and modprobe that record their arguments. A started service is the real vennixd on the
# simulated processor, on a socket in the temporary directory.
#   installer_test.sh INSTALLER VENNIXD UNIT RULES
set -u
[ "$(id -u)" = 0 ] || { echo "the installer runs as root"; exit 77; }
installer=$1 vennixd=$2 unit_file=$3 rules_file=$4 unit=org.qarn.vennix.service rules=70-qarn-cooler.rules
user=$(id -nu nobody) uid=$(id -u nobody) failed=0 t=
fail() { echo "FAIL ($scenario): $*"; echo "$output"; failed=1; }
# FILE FORMAT: the file holds exactly what printf makes of the format.
has() { [ "$(cat "$1" 2>/dev/null; echo .)" = "$(printf "$2"; echo .)" ] || fail "$1 holds: $(cat "$1" 2>/dev/null)"; }
# A shell script that finds what it records next to itself through $d.
fake() { printf '#!/bin/sh\nd=${0%%/*}\n%s\n' "$2" >"$1" && chmod 0755 "$1"; }
no_staging_left() { ! ls -d "$staging".* 2>/dev/null | grep -q . || fail "a staging directory is left"; }

# Stops the daemons the runs started and removes the scenario's directory.
clean() {
  for pid in $(cat "$t/vennixd.pids" "$t/marker" 2>/dev/null); do
    kill "$pid" 2>/dev/null && timeout 10 tail --pid="$pid" -f /dev/null || fail "vennixd $pid did not stop"
  done
  [ -z "$t" ] || rm -rf "$t"
}
trap clean EXIT

# A fresh temporary root with the fakes.
scenario() {
  clean
  scenario=$1 output= t=$(mktemp -d) wait=60
  root=$t/root bin=$t/bin bundle="$t/the bundle's \"dir\" \$x" staging=$t/Vennix.kext users=$t/root/etc/vennix/users
  mkdir -p "$bin" "$bundle" "$t/systemd"
  fake "$bin/modprobe" 'echo "$*" >> "$d/modprobe.calls"'
  fake "$bin/udevadm" 'echo "$*" >> "$d/udevadm.calls"'
  # enable --now starts the service, as systemd would.
  fake "$bin/systemctl" 'echo "$*" >> "$d/systemctl.calls"; [ "$1" = enable ] || exit 0
setsid "$VENNIXD" --simulate --socket "$VENNIX_SOCKET" >/dev/null 2>&1 </dev/null & echo $! >> "$d/vennixd.pids"'
  # The bundle's vennixd leaves a marker with its pid, then is the real one.
  fake "$bundle/vennixd" 'echo $$ > "$MARKER"; exec "$VENNIXD" --simulate --socket "$VENNIX_SOCKET"'
  cp "$unit_file" "$bundle/$unit" && cp "$rules_file" "$bundle/$rules"
}

# AS [ARGUMENTS...]: runs the script as user AS (empty: PKEXEC_UID unset) on the bundle and the
# staging path, or on the arguments given; what it says in $output.
install() {
  local as=$1 && shift && [ $# -gt 0 ] || set -- "$bundle" "$staging"
  output=$(env -u PKEXEC_UID ${as:+PKEXEC_UID=$as} VENNIX_INSTALL_ROOT="$root" VENNIX_SYSTEMCTL="$bin/systemctl" \
    VENNIX_MODPROBE="$bin/modprobe" VENNIX_UDEVADM="$bin/udevadm" VENNIX_SYSTEMD_DIR="$t/systemd" VENNIX_SOCKET="$t/vennix.sock" \
    VENNIX_START_WAIT="$wait" VENNIXD="$vennixd" MARKER="$t/marker" timeout 120 "$installer" "$@" 2>&1)
}

scenario "with systemd"
install "$uid" || fail "exit $?"
program=$root/usr/local/sbin/vennixd installed=$root/etc/systemd/system/$unit rule=$root/etc/udev/rules.d/$rules
for file in "$program:regular file 755" "$installed:regular file 644" "$root/etc/vennix:directory 755" \
  "$users:regular file 644" "$rule:regular file 644"; do
  [ "$(stat -c '%F %a %u' "${file%:*}")" = "${file##*:} 0" ] || fail "$(stat -c '%n: %F %a %u' "${file%:*}")"
done
cmp -s "$program" "$bundle/vennixd" && cmp -s "$installed" "$unit_file" && cmp -s "$rule" "$rules_file" ||
  fail "installed files"
has "$bin/udevadm.calls" 'control --reload\ntrigger --action=add --subsystem-match=usb --attr-match=idVendor=2433\n'
has "$users" "$user\n"
has "$bin/modprobe.calls" 'msr\n'
has "$bin/systemctl.calls" "daemon-reload\nenable --now $unit\n"
[ -S "$t/vennix.sock" ] || fail "the script ended before the service listened"
[ ! -e "$staging" ] && [ ! -e "$t/marker" ] || fail "staged at the name, or started vennixd although systemd runs"
! grep -qv '^vennix-install: ' <<<"$output" || fail "a line without the prefix"

scenario "the user listed once, by name or number"
for as in "$uid" "$uid" 0 ""; do install "$as" || fail "as '$as': exit $?"; done
has "$users" "$user\n"
fake "$bin/udevadm" 'exit 1' && install "$uid" && [[ $output == *"udev is not running"* ]] || fail "needed udev"
while IFS='|' read -r before after; do
  printf "$before" >"$users"
  install "$uid" || fail "exit $?"
  has "$users" "$after"
done <<END
  $uid  # by number\n|  $uid  # by number\n
# who may connect\nalice|# who may connect\nalice\n$user\n
# $user\n|# $user\n$user\n
END
unnamed=54321 && : >"$users"
while getent passwd "$unnamed" >/dev/null; do unnamed=$((unnamed + 1)); done
install "$unnamed" && install "$unnamed" && has "$users" "$unnamed\n" || fail "a user without a name"
! install 12x && [[ $output == *PKEXEC_UID* ]] || fail "a uid that is none"

scenario "without systemd"
rmdir "$t/systemd"
install "$uid" || fail "exit $?"
kill -0 "$(cat "$t/marker")" || fail "vennixd ended with the installer"
[ -S "$t/vennix.sock" ] && [ -e "$root/var/log/vennixd.log" ] && [ ! -e "$staging" ] || fail "started"
[ ! -e "$bin/systemctl.calls" ] && [[ $output == *"systemd is not running"* ]] || fail "asked systemd"
has "$bin/modprobe.calls" 'msr\nacpi_call\n'

scenario "without systemd, a service that ends at once"
rmdir "$t/systemd"
fake "$bundle/vennixd" "echo 'no msr here' >&2; exit 1"
! install "$uid" && [[ $output == *"ended at once"* ]] || fail "succeeded"
grep -q "no msr here" "$root/var/log/vennixd.log" || fail "nothing logged"

# Anyone may create /tmp/Vennix.kext first; a run stages in a directory of its own and never
# follows, uses or removes what it did not create.
scenario "whatever is planted at the staging name"
mkdir "$t/elsewhere" && echo mine >"$t/elsewhere/keep"
for plant in "link to root's" "another user's" "root's, with files"; do
  rm -rf "$staging" "$root"
  case $plant in
    link*) ln -s "$t/elsewhere" "$staging" ;;
    another*) mkdir -m 0777 "$staging" && echo theirs >"$staging/planted" && chown 65534:65534 "$staging" ;;
    *) mkdir -m 0700 "$staging" && echo theirs >"$staging/planted" ;;
  esac
  before=$(stat -c '%i %u' "$staging")
  install "$uid" && cmp -s "$root/usr/local/sbin/vennixd" "$bundle/vennixd" || fail "$plant: not installed"
  [ "$(stat -c '%i %u' "$staging")" = "$before" ] && [ ! -e "$t/elsewhere/vennixd" ] || fail "$plant: touched"
  has "$t/elsewhere/keep" 'mine\n'
  no_staging_left
done
has "$staging/planted" 'theirs\n'

scenario "no link from the bundle"
echo "root's secret" >"$t/secret" && chmod 0600 "$t/secret"
ln -sf "$t/secret" "$bundle/vennixd"
! install "$uid" && [[ $output == *"not a link"* ]] || fail "installed a link"
[ ! -e "$root/usr/local/sbin/vennixd" ] && [ ! -e "$bin/systemctl.calls" ] || fail "installed something"
[ "$(stat -c %a "$t/secret")" = 600 ] || fail "the secret's mode changed"
no_staging_left

scenario "failures of the system"
for arguments in "$bundle" "$t/none|$staging" "$bundle|relative/x" "$bundle|$staging/"; do
  IFS='|' read -r -a list <<<"$arguments"
  ! install "$uid" "${list[@]}" || fail "ran on ${list[*]}"
done
fake "$bin/modprobe" 'exit 1'
! install "$uid" && [ ! -e "$bin/systemctl.calls" ] || fail "went on without msr"
fake "$bin/modprobe" 'exit 0' && fake "$bin/systemctl" '[ "$1" != enable ]'
! install "$uid" && [[ $output == *"cannot start"* ]] || fail "a unit that does not start"
fake "$bin/systemctl" 'exit 0' && wait=1 # the unit starts but never listens
! install "$uid" && [[ $output == *"did not open"* ]] || fail "a service that never listens"
no_staging_left
clean && t=
exit "$failed"
