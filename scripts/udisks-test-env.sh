#!/usr/bin/env bash
# ZEM Tools: runs a command (the UDisks2 tests) beside private storage
# daemons: a dbus-daemon with a system-bus configuration of its own,
# systemd-udevd, polkitd and udisksd, each started here and stopped here by
# its process id.
#
#   bash scripts/udisks-test-env.sh COMMAND [ARG...]
#
# The command gets
#   ZEM_UDISKS_TEST_BUS   the private bus's address (tests connect to it)
#   ZEM_UDISKS_TEST_DIR   a folder for card images (loop devices' backing files)
#   ZEM_UDISKS_TEST_USER  a non-root user the private polkit lets use UDisks2
# When the daemons cannot run here (not root, no loop devices, no FUSE, no
# udevd or udisksd, no mount namespace: a chroot, a container without
# them), one line "udisks tests skipped: REASON" is printed and the command
# runs without these variables (with ZEM_UDISKS_SKIP_REASON instead), so
# its tests skip themselves. The exit status is always the command's.
#
# Everything runs in a private mount and process namespace: the mount
# helpers the tests need (this kernel may have no vfat or exfat driver: the
# helpers mount through FUSE), the udev and polkit rules, the daemons'
# run-time folders and /media exist only there, and every process left in
# it ends with this script. The loop devices are the only thing outside;
# the tests delete theirs, and the exit trap detaches any still backed by a
# file of ZEM_UDISKS_TEST_DIR.
set -uo pipefail

if [[ $# -eq 0 ]]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi

skip() {
  echo "udisks tests skipped: $*"
  export ZEM_UDISKS_SKIP_REASON="$*"
  unset ZEM_UDISKS_TEST_BUS ZEM_UDISKS_TEST_DIR ZEM_UDISKS_TEST_USER
  "${CMD[@]}"
  exit $?
}

CMD=("$@")
UDEVD=/lib/systemd/systemd-udevd
UDISKSD=/usr/libexec/udisks2/udisksd
POLKITD=/usr/lib/polkit-1/polkitd

# ---- Outside: enter the private namespaces ---------------------------------
if [[ -z "${ZEM_UDISKS_INSIDE:-}" ]]; then
  [[ $(id -u) -eq 0 ]] || skip "not root (the private daemons and loop devices need root)"
  for tool in unshare losetup dbus-daemon udevadm mkfs.vfat mkfs.exfat fusefat mount.exfat-fuse \
              setpriv; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not found (bash scripts/deps.sh installs it)"
  done
  for exe in "$UDEVD" "$UDISKSD" "$POLKITD"; do
    [[ -x "$exe" ]] || skip "$exe not found (bash scripts/deps.sh installs it)"
  done
  [[ -c /dev/fuse ]] || skip "no /dev/fuse"
  [[ -e /dev/loop-control ]] || skip "no /dev/loop-control"
  [[ -d /sys/class/block ]] || skip "no sysfs"
  unshare --mount --pid --fork --mount-proc true 2>/dev/null ||
    skip "no private mount and process namespace (unshare failed)"
  ROOT_DIR=$(mktemp -d /tmp/zem-udisks.XXXXXX) || skip "no temporary folder"
  chmod 755 "$ROOT_DIR"
  # Loop devices live outside the namespaces: detach ours whatever happens.
  detach_loops() {
    local dev
    for dev in $(losetup --noheadings --output NAME,BACK-FILE --list 2>/dev/null |
                 awk -v d="$ROOT_DIR/" 'index($2, d) == 1 { print $1 }'); do
      losetup --detach "$dev" 2>/dev/null
    done
    rm -rf "$ROOT_DIR"
  }
  trap detach_loops EXIT
  ZEM_UDISKS_INSIDE=1 ZEM_UDISKS_ROOT="$ROOT_DIR" \
    unshare --mount --propagation private --pid --fork --mount-proc bash "$0" "$@"
  exit $?
fi

# ---- Inside: process 1 of the private namespaces ---------------------------
T=$ZEM_UDISKS_ROOT
PIDS=()
cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null; done
  # Cards the tests left mounted (the FUSE helpers end with the namespace).
  grep -E '^/dev/loop' /proc/self/mounts | awk '{ print $2 }' | sort -r |
    while read -r m; do umount -l "$m" 2>/dev/null; done
}
trap cleanup EXIT

# Mount helpers for file systems this kernel lacks, on top of /usr/sbin
# (where /sbin points on Debian) in this namespace only.
mkdir -p "$T/shims" "$T/cards" "$T/log"
cat >"$T/shims/zem-fuse-mount" <<'EOF'
#!/bin/sh
# mount.vfat / mount.exfat through FUSE: DEVICE DIR [-o OPTIONS] [other flags].
dev=$1 dir=$2; shift 2
opts=
while [ $# -gt 0 ]; do
  case $1 in -o) opts=$2; shift 2 ;; -o*) opts=${1#-o}; shift ;; *) shift ;; esac
done
mode=rw keep=
IFS=,
for o in $opts; do
  case $o in ro) mode=ro ;; uid=*|gid=*|umask=*|dmask=*|fmask=*) keep="$keep,$o" ;; esac
done
unset IFS
case ${0##*/} in
  mount.vfat|mount.fat|mount.msdos)
    [ "$mode" = rw ] && mode=rw+
    exec fusefat -o "blkdev,fsname=$dev,allow_other,$mode" "$dev" "$dir" ;;
  *)
    exec mount.exfat-fuse -o "allow_other,$mode$keep" "$dev" "$dir" ;;
esac
EOF
chmod 755 "$T/shims/zem-fuse-mount"
for name in mount.vfat mount.fat mount.msdos mount.exfat; do
  [[ -e /usr/sbin/$name ]] || ln -s zem-fuse-mount "$T/shims/$name"
done
mount -t overlay overlay -o "lowerdir=$T/shims:/usr/sbin" /usr/sbin ||
  skip "no overlay mount for the FUSE mount helpers"

# Private run-time folders: udev's database and rules, UDisks2's state,
# polkit's rules, and /media where UDisks2 mounts.
for dir in /run/udev /run/udisks2 /media /etc/polkit-1/rules.d; do
  mkdir -p "$dir" && mount -t tmpfs -o mode=755 tmpfs "$dir" || skip "cannot mount a tmpfs on $dir"
done
mkdir -p /run/udev/rules.d
# The test cards (loop devices backed by files of ours) look like a user's
# cards to UDisks2, not like system devices.
cat >/run/udev/rules.d/99-zem-test-cards.rules <<EOF
SUBSYSTEM=="block", KERNEL=="loop*", ATTR{loop/backing_file}=="$T/cards/*", ENV{UDISKS_SYSTEM}="0"
EOF
TEST_USER=nobody
cat >/etc/polkit-1/rules.d/50-zem-test.rules <<EOF
polkit.addRule(function(action, subject) {
  if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "$TEST_USER")
    return polkit.Result.YES;
});
EOF

cat >"$T/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$T/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$T/bus.conf" --nofork --nopidfile >"$T/log/dbus" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [[ -S $T/bus ]] && break; sleep 0.1; done
[[ -S $T/bus ]] || skip "the private dbus-daemon did not start ($(tail -1 "$T/log/dbus"))"
chmod 755 "$T"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$T/bus"

"$UDEVD" >"$T/log/udevd" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [[ -S /run/udev/control ]] && break; sleep 0.1; done
[[ -S /run/udev/control ]] || skip "systemd-udevd did not start ($(tail -1 "$T/log/udevd"))"
# Only loop devices: the machine's disks are left as they are.
udevadm trigger --action=add --subsystem-match=block --sysname-match='loop*' >/dev/null 2>&1
udevadm settle --timeout=20 >/dev/null 2>&1

"$POLKITD" --no-debug >"$T/log/polkitd" 2>&1 &
PIDS+=($!)
"$UDISKSD" --no-sigint >"$T/log/udisksd" 2>&1 &
PIDS+=($!)
has_udisks() {
  dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:"$1" 2>/dev/null | grep -q 'boolean true'
}
for _ in $(seq 200); do has_udisks org.freedesktop.UDisks2 && break; sleep 0.1; done
has_udisks org.freedesktop.UDisks2 || skip "udisksd did not start ($(tail -1 "$T/log/udisksd"))"
for _ in $(seq 100); do has_udisks org.freedesktop.PolicyKit1 && break; sleep 0.1; done
has_udisks org.freedesktop.PolicyKit1 || skip "polkitd did not start ($(tail -1 "$T/log/polkitd"))"

# A loop device must attach here.
truncate -s 1M "$T/cards/probe.img"
probe=$(losetup --find --show "$T/cards/probe.img" 2>&1) || skip "no loop device ($probe)"
losetup --detach "$probe"
rm -f "$T/cards/probe.img"

echo "==> private UDisks2 on $DBUS_SYSTEM_BUS_ADDRESS (logs in $T/log while it runs)"
unset DBUS_SYSTEM_BUS_ADDRESS
export ZEM_UDISKS_TEST_BUS="unix:path=$T/bus" ZEM_UDISKS_TEST_DIR="$T/cards" \
       ZEM_UDISKS_TEST_USER="$TEST_USER"
"${CMD[@]}"
status=$?
if [[ $status -ne 0 && -n "${ZEM_UDISKS_SHOW_LOGS:-}" ]]; then
  tail -n 30 "$T"/log/*
fi
exit $status
