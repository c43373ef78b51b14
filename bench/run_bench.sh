#!/bin/sh
# Round-trip latency through caldrix from Java against the same exchange in plain C, on one
# pseudo-terminal whose far end echoes. Prints the medians and the ratio JVM/C for 1 and 64
# bytes. Usage: bench/run_bench.sh [BUILD_DIR]   (default: build)
# ITERATIONS and WARMUP (environment) set the number of round trips per run, ROUNDS how many
# times the JVM and the C runs alternate (the median of the runs' medians is reported, which
# keeps a busy moment of the machine from deciding the result); CALDRIX_LIBRARY and CALDRIX_JAVA
# may name the library and the java launcher.
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "run_bench: no build directory $1" >&2; exit 2; }
lib=${CALDRIX_LIBRARY:-$build/libcaldrix.so}
peer=$build/bench/echo_peer
cbench=$build/bench/roundtrip_c
nbench=$build/bench/roundtrip_native
classes=$build/bench/classes
java=${CALDRIX_JAVA:-${JAVA_HOME:+$JAVA_HOME/bin/}java}
iterations=${ITERATIONS:-5000}
warmup=${WARMUP:-2000}
rounds=${ROUNDS:-3}

for f in "$lib" "$peer" "$cbench" "$nbench" "$classes/RoundTrip.class"; do
    if [ ! -e "$f" ]; then
        echo "run_bench: $f is missing; build the targets caldrix, echo_peer, roundtrip_c, roundtrip_native and caldrix_bench" >&2
        exit 2
    fi
done

work=$(mktemp -d)
peerpid=
cleanup() {
    if [ -n "$peerpid" ] && kill -0 "$peerpid" 2>/dev/null; then
        kill "$peerpid" 2>/dev/null
        wait "$peerpid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$peer" >"$work/peer.out" &
peerpid=$!
port=
i=0
while [ $i -lt 50 ]; do
    port=$(head -n 1 "$work/peer.out" 2>/dev/null)
    [ -n "$port" ] && break
    kill -0 "$peerpid" 2>/dev/null || break
    sleep 0.1
    i=$((i + 1))
done
if [ -z "$port" ]; then
    echo "run_bench: the echo peer did not start" >&2
    exit 1
fi

echo "caldrix round trips on $port: $rounds rounds of $iterations timed after $warmup warm-up"
: >"$work/jvm.out"
: >"$work/c.out"
: >"$work/native.out"
r=0
while [ $r -lt "$rounds" ]; do
    # The library prints its load line on stdout; only the result lines are kept.
    "$java" -Dcaldrix.library="$lib" -cp "$classes" RoundTrip "$port" "$iterations" "$warmup" \
        >"$work/run.out" || { cat "$work/run.out"; echo "run_bench: the JVM run failed" >&2; exit 1; }
    grep '^jvm ' "$work/run.out" >>"$work/jvm.out"
    "$cbench" "$port" "$iterations" "$warmup" >>"$work/c.out" \
        || { echo "run_bench: the C run failed" >&2; exit 1; }
    "$nbench" "$port" "$iterations" "$warmup" 2>&1 >"$work/run.out" | grep -v 'on_library_load' >&2
    grep '^native ' "$work/run.out" >>"$work/native.out" \
        || { echo "run_bench: the native run failed" >&2; exit 1; }
    r=$((r + 1))
done

awk '
    function median(list,    v, n, i, j, t) {
        n = split(list, v, " ")
        for (i = 2; i <= n; i++) {
            t = v[i] + 0
            for (j = i - 1; j >= 1 && v[j] + 0 > t; j--) v[j + 1] = v[j]
            v[j + 1] = t
        }
        return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    $1 == "jvm" { jvm[$2] = jvm[$2] " " $3 }
    $1 == "c"   { c[$2] = c[$2] " " $3 }
    $1 == "native" { nat[$2] = nat[$2] " " $3 }
    END {
        printf "%8s %14s %14s %14s %10s %10s\n", "bytes", "JVM median us", "native us", "C median us", "JVM/C", "native/C"
        n = split("1 64", sizes, " ")
        bad = 0
        for (i = 1; i <= n; i++) {
            s = sizes[i]
            if (!(s in jvm) || !(s in c) || !(s in nat)) { bad = 1; continue }
            j = median(jvm[s]); k = median(c[s]); m = median(nat[s])
            if (k <= 0) { bad = 1; continue }
            printf "%8s %14.2f %14.2f %14.2f %10.2f %10.2f\n", s, j, m, k, j / k, m / k
        }
        exit bad
    }' "$work/jvm.out" "$work/c.out" "$work/native.out"
