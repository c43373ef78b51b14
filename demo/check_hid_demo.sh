#!/bin/sh
# The HID demo's test (CTest caldrix_demo_hid). Usage: demo/check_hid_demo.sh BUILD_DIR
#  1. The whole demo where unshare fails: the display's part is skipped in one line that says
#     why, and the printer's part alone decides the demo's success.
#  2. The HID demo itself: the lines of Java and of the display, verbatim, each in its order (the
#     two processes print side by side, so only each one's own order is fixed).
# Exit status 77 (skipped) when this machine cannot make a private mount namespace.
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: check_hid_demo.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# expect WHAT FILE: the lines of FILE against the expected ones on standard input.
expect() {
    cat >"$work/expected"
    if ! diff -u "$work/expected" "$2" >"$work/diff"; then
        echo "check_hid_demo: $1 differ (- expected, + got):"
        cat "$work/diff"
        failed=1
    fi
}

mkdir "$work/bin"
cat >"$work/bin/unshare" <<'EOF'
#!/bin/sh
echo "unshare: unshare failed: Operation not permitted" >&2
exit 1
EOF
chmod +x "$work/bin/unshare"
how="unshare -r -m"
[ "$(id -u)" = 0 ] && how="unshare -m"
PATH="$work/bin:$PATH" "$here/run_demo.sh" "$build" >"$work/skip.out" 2>&1
rc=$?
grep -e '^HID demo' -e '^== .*demo [A-Za-z]*$' "$work/skip.out" >"$work/skip.lines"
expect "the lines of a demo without namespaces" "$work/skip.lines" <<EOF
== serial demo passed
HID demo skipped: this machine cannot make a private mount namespace ($how: unshare failed: Operation not permitted)
== demo passed
EOF
if [ $rc -ne 0 ] || [ $failed -ne 0 ]; then
    echo "check_hid_demo: the demo without namespaces exited $rc; its output was:"
    cat "$work/skip.out"
    failed=1
fi

"$here/run_hid_demo.sh" "$build" >"$work/hid.out" 2>&1
rc=$?
if [ $rc -eq 77 ]; then
    cat "$work/hid.out"
    [ $failed -eq 0 ] && exit 77
    exit 1
fi
grep '^Java: ' "$work/hid.out" >"$work/java.lines"
grep '^display: ' "$work/hid.out" >"$work/display.lines"
expect "Java's lines" "$work/java.lines" <<'EOF'
Java: opened "USBHID: VID_04B8+PID_0202"
Java: wrote "Hello from Java"
Java: wrote "Total: 12.50 EUR"
Java: read key report 05: key 5 pressed
Java: closed the display
EOF
expect "the display's lines" "$work/display.lines" <<'EOF'
display: line display 04b8:0202 plugged in as /dev/hidraw0
display: opened by the host
display: [report 03] Hello from Java
display: [report 03] Total: 12.50 EUR
display: key 5 pressed: sending [report 03] 05
display: closed by the host
EOF
tail -n 1 "$work/hid.out" >"$work/last.line"
expect "the HID demo's last line" "$work/last.line" <<'EOF'
== HID demo passed
EOF
[ $rc -eq 0 ] || { echo "check_hid_demo: the HID demo exited $rc"; failed=1; }
if [ $failed -ne 0 ]; then
    echo "check_hid_demo: the HID demo's output was:"
    cat "$work/hid.out"
fi
exit $failed
