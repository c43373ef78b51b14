#!/bin/sh
# Run inside a fresh private mount namespace (unshare -m, or -r -m): makes /sys/class/hidraw the
# folder TREE/hidraw and /dev a small /dev in TREE/dev holding what a JVM needs, then runs the
# command, where the library finds the USB host of TREE at the real paths. The HID demo and the
# HID JVM tests both run their JVM this way.
#
#   usb_tree.sh TREE REFUSED COMMAND [ARGUMENTS...]
#
# A mount refused here is the namespace failing: the script prints REFUSED and the mount's
# complaint, "REFUSED (mount ARGS: ERROR)", and exits 77.
set -u
[ $# -ge 3 ] || { echo "usage: $0 TREE REFUSED COMMAND [ARGUMENTS...]" >&2; exit 2; }
tree=$1
refused=$2
shift 2

bind() {
    err=$(mount "$@" 2>&1) && return 0
    echo "$refused (mount $*: ${err#mount: })"
    exit 77
}

mkdir -p "$tree/hidraw" "$tree/devices" "$tree/dev/shm" "$tree/dev/pts" || exit 1
for n in null zero full random urandom tty; do
    : > "$tree/dev/$n" || exit 1
    bind --bind "/dev/$n" "$tree/dev/$n"
done
bind --bind /dev/shm "$tree/dev/shm"
bind --bind /dev/pts "$tree/dev/pts"
ln -s pts/ptmx "$tree/dev/ptmx" &&
    ln -s /proc/self/fd "$tree/dev/fd" &&
    ln -s /proc/self/fd/0 "$tree/dev/stdin" &&
    ln -s /proc/self/fd/1 "$tree/dev/stdout" &&
    ln -s /proc/self/fd/2 "$tree/dev/stderr" || exit 1
bind --bind "$tree/hidraw" /sys/class/hidraw
bind --rbind "$tree/dev" /dev
exec "$@"
