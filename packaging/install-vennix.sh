#!/bin/bash
# Installs Qarn's CPU service: vennixd as /usr/local/sbin/vennixd, its systemd unit, the udev
# rule that lets the user at the seat drive the cooler, and the user who ran the installer in
# /etc/vennix/users, so that the monitor can connect at once; then loads msr and starts the
# service. The monitor runs it as
#
#   pkexec command BUNDLE STAGING
#
# with BUNDLE the directory that ships vennixd, org.qarn.vennix.service and 70-qarn-cooler.rules
# next to the monitor
# and STAGING "/tmp/Vennix.kext". Runs as root; PKEXEC_UID names the user who ran it. Where
# systemd is not running (containers) vennixd is started directly, in the background.
#
# STAGING lies in a directory that every user may write, so it is only the prefix of the
# directory the bundle is staged in: a new one made for this run (mktemp -d, STAGING.XXXXXXXX,
# mode 0700) and removed at its end. Whatever anyone put at STAGING itself, or at any other
# name, is neither followed, nor used, nor removed, and cannot block the installation. The
# copy keeps links as links, and only regular files are installed from it.
#
# For tests, the system paths and commands come from the environment when set:
#   VENNIX_INSTALL_ROOT  prefix of every path written (default: none)
#   VENNIX_SYSTEMCTL     systemctl                      VENNIX_MODPROBE  modprobe
#   VENNIX_UDEVADM       udevadm
#   VENNIX_SYSTEMD_DIR   exists while systemd runs      (default /run/systemd/system)
#   VENNIX_SOCKET        the socket vennixd serves on   (default /run/vennix/vennix.sock)
#   VENNIX_START_WAIT    seconds to wait for it         (default 10)
# Messages go to standard error; any failure exits non-zero.
set -euo pipefail
umask 022
export LC_ALL=C
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

readonly unit=org.qarn.vennix.service
readonly rules=70-qarn-cooler.rules

say() { printf 'vennix-install: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }

[ $# -eq 2 ] || fail "usage: $0 BUNDLE STAGING"
bundle=$1
staging=$2

root=${VENNIX_INSTALL_ROOT:-}
root=${root%/}
systemctl=${VENNIX_SYSTEMCTL:-systemctl}
modprobe=${VENNIX_MODPROBE:-modprobe}
udevadm=${VENNIX_UDEVADM:-udevadm}
systemd_dir=${VENNIX_SYSTEMD_DIR:-/run/systemd/system}
socket=${VENNIX_SOCKET:-/run/vennix/vennix.sock}
start_wait=${VENNIX_START_WAIT:-10}

sbin_dir=$root/usr/local/sbin
unit_dir=$root/etc/systemd/system
rules_dir=$root/etc/udev/rules.d
users_dir=$root/etc/vennix
users_file=$users_dir/users
log_file=$root/var/log/vennixd.log

[ "$(id -u)" = 0 ] || fail "must run as root (the monitor runs it through pkexec)"
case $root in ''|/*) ;; *) fail "VENNIX_INSTALL_ROOT must be an absolute path: '$root'" ;; esac
case $start_wait in ''|*[!0-9]*) fail "VENNIX_START_WAIT must be a number of seconds: '$start_wait'" ;; esac
[ -d "$bundle" ] || fail "no bundle at '$bundle'"
# A trailing slash would make the tests below follow a link.
case $staging in
  /*/) fail "the staging path must not end in '/': '$staging'" ;;
  /?*) ;;
  *) fail "the staging path must be absolute: '$staging'" ;;
esac

# --- Stage the bundle --------------------------------------------------------------------------

# mktemp makes a directory that did not exist, or fails: nothing planted is ever used.
staging=$(mktemp -d -- "$staging.XXXXXXXX") || fail "cannot create a staging directory next to $staging"
trap 'rm -rf -- "$staging"' EXIT

cp -R -P --preserve=mode -- "$bundle/." "$staging/" || fail "cannot copy $bundle to $staging"
for file in vennixd "$unit" "$rules"; do
  if [ ! -f "$staging/$file" ] || [ -L "$staging/$file" ]; then
    fail "the bundle has no $file (a regular file, not a link)"
  fi
done

# --- Install the files -------------------------------------------------------------------------

mkdir -p -- "$sbin_dir" "$unit_dir" "$rules_dir"
install -m 0755 -- "$staging/vennixd" "$sbin_dir/vennixd" || fail "cannot install $sbin_dir/vennixd"
install -m 0644 -- "$staging/$unit" "$unit_dir/$unit" || fail "cannot install $unit_dir/$unit"
install -m 0644 -- "$staging/$rules" "$rules_dir/$rules" || fail "cannot install $rules_dir/$rules"
say "installed $sbin_dir/vennixd, $unit_dir/$unit and $rules_dir/$rules"

# A cooler plugged in now gets its access at once; without a running udev (containers) the rule
# applies from the next start of udev, which is no reason to stop here.
if "$udevadm" control --reload 2>/dev/null &&
   "$udevadm" trigger --action=add --subsystem-match=usb --attr-match=idVendor=2433 2>/dev/null; then
  say "udev applies $rules to the cooler"
else
  say "udev is not running: $rules applies from its next start"
fi

# --- Let the user who ran the installer connect -------------------------------------------------

trimmed() {
  local text=$1
  text=${text#"${text%%[![:space:]]*}"}
  text=${text%"${text##*[![:space:]]}"}
  printf '%s' "$text"
}

# Whether the access file names $1 or $2 on a line of its own (comments and blanks aside).
lists() {
  local line
  [ -f "$users_file" ] || return 1
  while IFS= read -r line || [ -n "$line" ]; do
    line=$(trimmed "${line%%#*}")
    [ -n "$line" ] || continue
    if [ "$line" = "$1" ] || [ "$line" = "$2" ]; then
      return 0
    fi
  done < "$users_file"
  return 1
}

add_user() {
  local uid=${PKEXEC_UID:-} name entry
  if [ -z "$uid" ]; then
    say "PKEXEC_UID is not set: no user added to $users_file"
    return 0
  fi
  case $uid in *[!0-9]*) fail "PKEXEC_UID is not a uid: '$uid'" ;; esac
  [ ${#uid} -le 10 ] || fail "PKEXEC_UID is not a uid: '$uid'"
  uid=$((10#$uid))
  if [ "$uid" = 0 ]; then
    say "root may always connect: no user added to $users_file"
    return 0
  fi
  name=$(getent passwd "$uid" 2>/dev/null | cut -d: -f1) || name=
  # vennixd reads a line of digits as a uid and cuts at '#': such names are written as the uid.
  if [[ $name =~ ^[A-Za-z_][A-Za-z0-9._-]*\$?$ ]]; then
    entry=$name
  else
    entry=$uid
  fi

  if [ ! -d "$users_dir" ]; then
    mkdir -p -- "$users_dir"
    chmod 0755 -- "$users_dir"
  fi
  if lists "$entry" "$uid"; then
    say "$users_file already lists $entry"
    return 0
  fi
  if [ ! -e "$users_file" ]; then
    : > "$users_file"
    chmod 0644 -- "$users_file"
  fi
  # A last line without its line feed would run into ours.
  if [ -s "$users_file" ] && [ -n "$(tail -c 1 -- "$users_file")" ]; then
    printf '\n' >> "$users_file"
  fi
  printf '%s\n' "$entry" >> "$users_file" || fail "cannot write $users_file"
  say "added $entry to $users_file"
}
add_user

# --- Start the service -------------------------------------------------------------------------

"$modprobe" msr || fail "cannot load the msr module"

started=
if [ -d "$systemd_dir" ]; then
  "$systemctl" daemon-reload || fail "systemctl daemon-reload failed"
  "$systemctl" enable --now "$unit" || fail "cannot start $unit (journalctl -u $unit tells why)"
  say "started $unit"
else
  # ACPI methods need acpi_call; the service runs without it.
  "$modprobe" acpi_call 2>/dev/null || say "acpi_call is not available: no ACPI methods"
  mkdir -p -- "${log_file%/*}"
  setsid "$sbin_dir/vennixd" >> "$log_file" 2>&1 < /dev/null &
  started=$!
  say "systemd is not running: started $sbin_dir/vennixd directly (pid $started, log $log_file)"
fi

# The unit counts as started as soon as vennixd runs; the monitor connects right after this
# script ends, so wait until the socket is there.
deadline=$((SECONDS + start_wait))
until [ -S "$socket" ]; do
  if [ -n "$started" ] && ! kill -0 "$started" 2>/dev/null; then
    [ -S "$socket" ] && break
    fail "vennixd ended at once; $log_file tells why"
  fi
  [ "$SECONDS" -lt "$deadline" ] || fail "vennixd did not open $socket within ${start_wait}s"
  sleep 0.1
done
say "vennixd serves on $socket"
