#!/usr/bin/env bash
# Checks the packages scripts/package.sh built: lintian finds no errors, every file lies where
# Debian policy puts it, and, as root on a machine without them, they install, their maintainer
# scripts create the group, and a purge takes everything away again.
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob
debs=(build/packages/vennixd_*.deb build/packages/qarn_*.deb)
[ ${#debs[@]} -eq 2 ] || { echo "check-packages: expected the two packages in build/packages" >&2; exit 1; }

echo "--- lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v "running with root privileges"

echo "--- files"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
expected=(
  usr/sbin/vennixd lib/systemd/system/org.qarn.vennix.service etc/vennix/users
  lib/udev/rules.d/70-qarn-cooler.rules lib/udev/rules.d/70-qarn-display.rules
  usr/bin/qarn usr/bin/qarnctl usr/bin/vennixctl
  usr/share/man/man1/qarn.1.gz usr/share/man/man1/qarnctl.1.gz usr/share/man/man1/vennixctl.1.gz
  usr/share/man/man8/vennixd.8.gz usr/share/applications/qarn.desktop
  usr/share/icons/hicolor/scalable/apps/qarn.svg
  usr/share/doc/vennixd/copyright usr/share/doc/qarn/copyright
  usr/share/polkit-1/actions/org.qarn.vennix.install.policy usr/libexec/qarn/install-vennix
  usr/libexec/qarn/Vennix.bundle/vennixd usr/libexec/qarn/Vennix.bundle/org.qarn.vennix.service
)
if [ -e packaging/qarn-exporter.service ]; then
  expected+=(usr/bin/qarn-exporter lib/systemd/system/qarn-exporter.service usr/share/man/man1/qarn-exporter.1.gz)
fi
for path in "${expected[@]}"; do
  [ -f "$root/$path" ] || { echo "check-packages: no /$path in the packages" >&2; exit 1; }
done
# Nothing outside the directories a package may fill, nothing under /usr/local.
stray=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr ! -name etc ! -name lib)
[ -z "$stray" ] || { echo "check-packages: files outside /usr, /etc and /lib: $stray" >&2; exit 1; }
[ ! -e "$root/usr/local" ] || { echo "check-packages: the packages fill /usr/local" >&2; exit 1; }
grep -q "^ExecStart=/usr/sbin/vennixd$" "$root/lib/systemd/system/org.qarn.vennix.service" ||
  { echo "check-packages: the unit does not start /usr/sbin/vennixd" >&2; exit 1; }
# pkexec shows the policy's message only for the exact path the monitor runs.
exec_path=$(python3 -c '
import sys, xml.etree.ElementTree as E
action = E.parse(sys.argv[1]).getroot().find("action")
assert action.find("defaults/allow_active").text == "auth_admin_keep"
print(action.find("annotate[@key=\"org.freedesktop.policykit.exec.path\"]").text)' \
  "$root/usr/share/polkit-1/actions/org.qarn.vennix.install.policy")
[ -x "$root$exec_path" ] || { echo "check-packages: the policy names $exec_path, which the packages do not hold" >&2; exit 1; }
(cd "$root" && find . -type f | sort)

echo "--- install and purge"
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: installation skipped"
elif dpkg-query -W -f='${Status}' vennixd qarn 2>/dev/null | grep -q "installed"; then
  echo "vennixd or qarn is installed on this machine already: installation skipped, nothing touched"
else
  export DEBIAN_FRONTEND=noninteractive
  dpkg -i "${debs[@]}"
  getent group vennix >/dev/null || { echo "check-packages: postinst made no group vennix" >&2; exit 1; }
  [ -x /usr/sbin/vennixd ] && [ -f /etc/vennix/users ]
  dpkg --purge qarn vennixd
  ! getent group vennix >/dev/null || { echo "check-packages: the purge left the group vennix" >&2; exit 1; }
  [ ! -e /usr/sbin/vennixd ] && [ ! -e /etc/vennix ] || { echo "check-packages: the purge left files" >&2; exit 1; }
  echo "installed, group vennix created, purged without a trace"
fi
