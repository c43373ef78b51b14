#!/bin/sh
# The HID half of the demonstration: a pretend USB line display (display_sim) that Java opens by
# its name, "USBHID: VID_04B8+PID_0202", writes two lines to and reads a key press from, through
# the port object (HidDemo.java). Usage: demo/run_hid_demo.sh [BUILD_DIR]   (default: build)
# Needs the targets caldrix, display_sim and caldrix_demo of that build directory.
# CALDRIX_LIBRARY and CALDRIX_JAVA may name the library and the java launcher to use.
#
# The library looks for HID devices at the real paths, /sys/class/hidraw and /dev. The display is
# put there in a private mount namespace, where those two are folders of a temporary tree that
# nothing outside sees: root makes the namespace directly (unshare -m), anyone else inside a
# user namespace of their own, where they are root too (unshare -r -m). Nothing outlives the run.
#
# Exit status: 0 when Java read the key and the display showed both lines; 77 when this machine
# cannot make the namespace, said in one line "HID demo skipped: ..."; otherwise non-zero.
set -u

here=$(cd "$(dirname "$0")" && pwd)
given=${1:-$here/../build}
build=$(cd "$given" 2>/dev/null && pwd) || { echo "run_hid_demo: no build directory $given" >&2; exit 2; }
lib=${CALDRIX_LIBRARY:-$build/libcaldrix.so}
sim=$build/demo/display_sim
classes=$build/demo/classes
java=${CALDRIX_JAVA:-${JAVA_HOME:+$JAVA_HOME/bin/}java}
name="USBHID: VID_04B8+PID_0202"

for f in "$lib" "$sim" "$classes/HidDemo.class"; do
    if [ ! -e "$f" ]; then
        echo "run_hid_demo: $f is missing; build the targets caldrix, display_sim and caldrix_demo" >&2
        exit 2
    fi
done

skip() {
    echo "HID demo skipped: $1"
    exit 77
}
cannot="this machine cannot make a private mount namespace"

if [ "$(id -u)" = 0 ]; then
    how="unshare -m"
    unshare_args="--mount --propagation private"
else
    how="unshare -r -m"
    unshare_args="--user --map-root-user --mount --propagation private"
fi
command -v unshare >/dev/null 2>&1 || skip "$cannot (unshare is not installed)"
# shellcheck disable=SC2086
why=$(unshare $unshare_args true 2>&1) \
    || skip "$cannot ($how: $(printf '%s\n' "$why" | sed -n '1s/^unshare: //p'))"
[ -d /sys/class/hidraw ] \
    || skip "/sys/class/hidraw is missing (the kernel's hidraw support is not loaded)"

tree=$(mktemp -d /tmp/caldrix-demo-usb-XXXXXX)
trap 'rm -rf "$tree"' EXIT
trap 'exit 130' INT TERM
chmod 755 "$tree"

echo "== caldrix HID demo: a line display, $name, simulated in a private mount namespace"
# Inside, display_sim lays the display out in the tree (usb_tree.sh) and runs Java beside it. A
# mount refused there is the namespace failing too, and skips the demo the same way.
# shellcheck disable=SC2086
unshare $unshare_args "$here/../scripts/usb_tree.sh" "$tree" "HID demo skipped: $cannot" \
    "$sim" "$tree" "$java" -Dcaldrix.library="$lib" -cp "$classes" HidDemo "$name"
rc=$?
case $rc in
    0) echo "== HID demo passed" ;;
    77) ;;
    *) echo "== HID demo FAILED (exit $rc)" ;;
esac
exit $rc
