#!/bin/sh
# The demonstration: a pretend receipt printer on a pseudo-terminal, driven from Java through
# caldrix, then a pretend USB line display (run_hid_demo.sh). Usage: demo/run_demo.sh [BUILD_DIR]
# (default: build). Needs the targets caldrix, device_sim, display_sim and caldrix_demo of that
# build directory. CALDRIX_LIBRARY and CALDRIX_JAVA may name the library and the java launcher.
# Exit status: 0 when the Java side got every answer it expected from the printer, the printer
# saw the port closed, and the display's part passed or was skipped because this machine cannot
# make a private mount namespace (one line says so); otherwise non-zero.
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "run_demo: no build directory $1" >&2; exit 2; }
lib=${CALDRIX_LIBRARY:-$build/libcaldrix.so}
sim=$build/demo/device_sim
classes=$build/demo/classes
java=${CALDRIX_JAVA:-${JAVA_HOME:+$JAVA_HOME/bin/}java}

for f in "$lib" "$sim" "$classes/Demo.class"; do
    if [ ! -e "$f" ]; then
        echo "run_demo: $f is missing; build the targets caldrix, device_sim and caldrix_demo" >&2
        exit 2
    fi
done

work=$(mktemp -d)
simpid=
cleanup() {
    if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then
        kill "$simpid" 2>/dev/null
        wait "$simpid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The device prints its terminal's path on its first line, its log on stderr.
"$sim" -t 20 >"$work/sim.out" &
simpid=$!
port=
i=0
while [ $i -lt 50 ]; do
    port=$(head -n 1 "$work/sim.out" 2>/dev/null)
    [ -n "$port" ] && break
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
    i=$((i + 1))
done
if [ -z "$port" ]; then
    echo "run_demo: the simulated device did not start" >&2
    exit 1
fi

echo "== caldrix demo: receipt printer on $port"
"$java" -Dcaldrix.library="$lib" -cp "$classes" Demo "$port"
demo_rc=$?

# The device ends by itself once the port is closed; give it a moment, then stop it.
i=0
while kill -0 "$simpid" 2>/dev/null && [ $i -lt 30 ]; do
    sleep 0.1
    i=$((i + 1))
done
if kill -0 "$simpid" 2>/dev/null; then
    echo "run_demo: the simulated device did not notice the close" >&2
    sim_rc=1
else
    wait "$simpid"
    sim_rc=$?
fi
simpid=

serial_rc=0
if [ "$demo_rc" -ne 0 ]; then
    echo "== serial demo FAILED (Java side exit $demo_rc)"
    serial_rc=$demo_rc
elif [ "$sim_rc" -ne 0 ]; then
    echo "== serial demo FAILED (device exit $sim_rc)"
    serial_rc=1
else
    echo "== serial demo passed"
fi

echo
"$here/run_hid_demo.sh" "$build"
hid_rc=$?

if [ "$serial_rc" -ne 0 ]; then
    echo "== demo FAILED"
    exit "$serial_rc"
fi
# 77: the machine cannot make the display's namespace, which run_hid_demo.sh has said.
if [ "$hid_rc" -ne 0 ] && [ "$hid_rc" -ne 77 ]; then
    echo "== demo FAILED"
    exit "$hid_rc"
fi
echo "== demo passed"
