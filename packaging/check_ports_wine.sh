#!/bin/bash
# Runs the jar's two Windows caldrix-ports under Wine, in the prefix the Wine harness made, and
# checks the HID part each prints: Wine's two virtual HID interfaces, each with both names, the
# text they match and no other path reached first; no USB printers. The whole listing must also
# name the harness's COM5 by its registry entry and the POSIX-style name the library maps to it.
#
#   check_ports_wine.sh CMAKE JAR WINEPREFIX WORK
#
# Exits 77 (skipped) when the prefix has not been made yet (make test-windows makes it).
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 CMAKE JAR WINEPREFIX WORK" >&2
    exit 2
fi
cmake=$1
jar=$(realpath "$2")
prefix=$(realpath -m "$3")
work=$(realpath -m "$4")

if [ ! -f "$prefix/.caldrix-ready" ]; then
    echo "check_ports_wine: no Wine prefix at $prefix yet (make test-windows makes it)"
    exit 77
fi
wine32=${CALDRIX_WINE32:-/usr/lib/wine/wine}
wine64=${CALDRIX_WINE64:-/usr/lib/wine/wine64}

rm -rf "$work"
mkdir -p "$work"
(cd "$work" && "$cmake" -E tar xf "$jar")
natives=$work/com/vorant/jpos/tavrolink/native

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# One user of the prefix at a time, as the harness runs it.
exec 9>"$prefix.lock"
flock -w 900 9 || { echo "check_ports_wine: timed out waiting for $prefix" >&2; exit 1; }
trap 'timeout 60 wineserver -k 2>/dev/null || true' EXIT
timeout 300 wineboot >/dev/null 2>&1 || { echo "check_ports_wine: wineboot failed" >&2; exit 1; }

version=$(sed -n 's/^version=//p' "$natives/natives.properties")
hid() {
    echo "\\\\?\\hid#vid_845e&pid_000$1#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}"
    echo "    /USB/0x845e/0x000$1  (matches \"vid_845e&pid_000$1\")"
    echo "    USBHID: VID_845E+PID_000$1  (matches \"vid_845e&pid_000$1\")"
}
expected=$(
    echo "caldrix $version sees these HID interfaces; PortOpen opens the first one whose device path contains a name's match text:"
    hid 1
    hid 2
    echo "caldrix $version sees no USB printer interfaces."
)

failed=0
for run in "windows-x86 $wine32" "windows-x86_64 $wine64"; do
    read -r platform loader <<<"$run"
    out=$(timeout 120 "$loader" "$natives/$platform/caldrix-ports.exe" --hid-only | tr -d '\r') ||
        { echo "FAIL $platform: caldrix-ports.exe did not run (status $?)"; failed=1; continue; }
    all=$(timeout 120 "$loader" "$natives/$platform/caldrix-ports.exe" | tr -d '\r') ||
        { echo "FAIL $platform: caldrix-ports.exe did not run (status $?)"; failed=1; continue; }
    if [[ "$all" != *$'\nCOM5  (\\Device\\Serial4)\n    /dev/ttyS6\n'* ]]; then
        echo "FAIL $platform: caldrix-ports.exe did not list COM5 as /dev/ttyS6:"
        echo "$all"
        failed=1
    elif [ "$out" = "$expected" ]; then
        echo "$platform: caldrix-ports.exe lists Wine's HID interfaces and COM5 as expected"
    else
        echo "FAIL $platform: caldrix-ports.exe printed"
        echo "$out"
        echo "---- expected"
        echo "$expected"
        failed=1
    fi
done
exit $failed
