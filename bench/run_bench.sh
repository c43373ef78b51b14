#!/bin/sh
# caldrix benchmarks. Usage: bench/run_bench.sh [BUILD_DIR [PART]]   (default: build, all)
#
# PART roundtrip: round-trip latency through caldrix from Java against the same exchange in
#   plain C, on one pseudo-terminal whose far end echoes. Prints the medians and the ratio JVM/C
#   for 1 and 64 bytes. ITERATIONS and WARMUP set the number of round trips per run, ROUNDS how
#   many times the JVM and the C runs alternate.
# PART percall: nanoseconds per call of PortGetReadCount, PortIsCTS and PortWrite of 64 bytes
#   through caldrix, beside a JNI library of the benchmark's own (plain_port.c) that makes the
#   same system calls with nothing around them, in the same JVM, each on a pseudo-terminal whose
#   far end is drained. ROUNDS sets the number of JVM runs; in each, every method is warmed up
#   with PERCALL_WARMUP calls per side, then timed in PERCALL_BATCHES batches of PERCALL_CALLS
#   calls, the two sides taking turns to go first. The table gives the median ns per call of
#   each side and, as the ratio, the median of caldrix/baseline over batches that ran back to
#   back (steadier on a busy machine than the ratio of the two medians). A ratio above 1.15 is
#   flagged, not failed.
# PART syscalls: the system calls of those methods on each side, from strace, and whether the
#   baseline still makes the same ones and sets its terminal up the same way as the library.
#   Fails when they differ.
# PART hidreads: nanoseconds per PortRead of 1 byte and per PortGetReadCount on a HID port whose
#   reports are already queued (the simulated device: no USB here), beside the same calls on a
#   serial port with bytes waiting. A HID read copies from the queue and never waits on the device.
# PART throughput: MB/s (10^6 bytes a second, one way) through caldrix against plain C, in 4 KiB
#   pieces, each side on a terminal set up as the library sets it up (plain_tty.h):
#   - write: PortWrite of 4096 bytes again and again against write() of 4096 bytes, on one
#     pseudo-terminal whose far end is drained;
#   - pair: one thread writing through the port object's OutputStream while another reads through
#     its InputStream what the far end of the pseudo-terminal echoes, against two threads doing
#     write() and read() on one descriptor of the same terminal. The writer keeps at most 16 KiB
#     ahead of the reader on both sides. The Java pair reaches the C pair only where a serial
#     read and a write of one port run at once.
#   Each run warms up for one batch, then times TP_BATCHES batches of TP_SECONDS; ROUNDS runs a
#   side. The ratio is JVM/C (below 1: Java is slower); one below 0.9 is flagged, not failed.
# PART openclose: microseconds per PortOpen+PortClose of a pseudo-terminal from Java against
#   open(), the library's terminal set-up and close() in C, each warmed up for one batch, then
#   OC_BATCHES batches of OC_CYCLES cycles; ROUNDS runs a side. The ratio is JVM/C.
# PART events: latency from the far end of a pseudo-terminal writing one byte (event_peer) to a
#   port object's data listener receiving it, against a C thread waiting in poll() on the same
#   kind of terminal (events_c); then each side left idle for EV_IDLE seconds (default 3), and
#   the voluntary context switches a second of the library's and the port's threads (named
#   caldrix-*) beside the C thread's. EV_ITERATIONS (3000) bytes are timed after EV_WARMUP
#   (5000, enough for the JIT to compile the delivery path); ROUNDS runs a side. The ratio
#   is JVM/C; one above 1.5 is flagged, not failed. Both clocks are CLOCK_MONOTONIC. On a
#   machine with few cores and other work, where each wake-up lands decides the medians: run
#   it more than once, or with a larger ROUNDS.
# PART all: roundtrip, percall, hidreads, throughput, openclose, events, then syscalls when
#   strace is there; a difference in the system calls is reported but fails nothing.
#
# Every part reports the median of the runs' medians, which keeps a busy moment of the machine
# from deciding the result. CALDRIX_LIBRARY and CALDRIX_JAVA may name the library and the java
# launcher.
set -u

here=$(cd "$(dirname "$0")" && pwd)
given=${1:-$here/../build}
build=$(cd "$given" 2>/dev/null && pwd) || { echo "run_bench: no build directory $given" >&2; exit 2; }
part=${2:-all}
lib=${CALDRIX_LIBRARY:-$build/libcaldrix.so}
classes=$build/bench/classes
java=${CALDRIX_JAVA:-${JAVA_HOME:+$JAVA_HOME/bin/}java}
rounds=${ROUNDS:-3}
limit=1.15

case $part in
    all | roundtrip | percall | hidreads | syscalls | throughput | openclose | events) ;;
    *)
        echo "usage: run_bench.sh [BUILD_DIR [all|roundtrip|percall|hidreads|syscalls|throughput|openclose|events]]" >&2
        exit 64
        ;;
esac

need() {
    for f in "$@"; do
        if [ ! -e "$f" ]; then
            echo "run_bench: $f is missing; build the target run_bench's dependencies (bench/CMakeLists.txt)" >&2
            exit 2
        fi
    done
}

work=$(mktemp -d)
peerpid=
stop_peer() {
    if [ -n "$peerpid" ] && kill -0 "$peerpid" 2>/dev/null; then
        kill "$peerpid" 2>/dev/null
        wait "$peerpid" 2>/dev/null
    fi
    peerpid=
}
cleanup() {
    stop_peer
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_peer PROGRAM LINES [ARGS...]: runs a far end and waits until it has printed LINES
# terminal paths into $work/peer.out.
start_peer() {
    program=$1
    lines=$2
    shift 2
    : >"$work/peer.out"
    "$program" "$@" >"$work/peer.out" &
    peerpid=$!
    i=0
    while [ $i -lt 50 ]; do
        [ "$(wc -l <"$work/peer.out")" -ge "$lines" ] && return 0
        kill -0 "$peerpid" 2>/dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    echo "run_bench: $(basename "$program") did not start" >&2
    exit 1
}

# medians: the median of the values that share the first two fields, one line per pair:
# "<field1> <field2> <median>".
medians() {
    awk '
        { key = $1 " " $2; v[key] = v[key] " " $3; if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
        END {
            for (k = 1; k <= n; k++) {
                m = split(v[order[k]], x, " ")
                for (i = 2; i <= m; i++) {
                    t = x[i] + 0
                    for (j = i - 1; j >= 1 && x[j] + 0 > t; j--) x[j + 1] = x[j]
                    x[j + 1] = t
                }
                print order[k], (m % 2 ? x[(m + 1) / 2] : (x[m / 2] + x[m / 2 + 1]) / 2)
            }
        }'
}

roundtrip() {
    peer=$build/bench/echo_peer
    cbench=$build/bench/roundtrip_c
    nbench=$build/bench/roundtrip_native
    iterations=${ITERATIONS:-5000}
    warmup=${WARMUP:-2000}
    need "$lib" "$peer" "$cbench" "$nbench" "$classes/RoundTrip.class"
    start_peer "$peer" 1
    port=$(head -n 1 "$work/peer.out")

    echo "caldrix round trips on $port: $rounds rounds of $iterations timed after $warmup warm-up"
    : >"$work/rt.out"
    r=0
    while [ $r -lt "$rounds" ]; do
        # The library prints its load line on stdout; only the result lines are kept.
        "$java" -Dcaldrix.library="$lib" -cp "$classes" RoundTrip "$port" "$iterations" "$warmup" \
            >"$work/run.out" || { cat "$work/run.out"; echo "run_bench: the JVM run failed" >&2; exit 1; }
        grep '^jvm ' "$work/run.out" >>"$work/rt.out"
        "$cbench" "$port" "$iterations" "$warmup" >>"$work/rt.out" \
            || { echo "run_bench: the C run failed" >&2; exit 1; }
        "$nbench" "$port" "$iterations" "$warmup" 2>&1 >"$work/run.out" | grep -v 'on_library_load' >&2
        grep '^native ' "$work/run.out" >>"$work/rt.out" \
            || { echo "run_bench: the native run failed" >&2; exit 1; }
        r=$((r + 1))
    done
    stop_peer

    medians <"$work/rt.out" | awk '
        { m[$1 " " $2] = $3 }
        END {
            printf "%8s %14s %14s %14s %10s %10s\n", "bytes", "JVM median us", "native us", "C median us", "JVM/C", "native/C"
            n = split("1 64", sizes, " ")
            bad = 0
            for (i = 1; i <= n; i++) {
                s = sizes[i]
                if (!(("jvm " s) in m) || !(("c " s) in m) || !(("native " s) in m) || m["c " s] <= 0) { bad = 1; continue }
                j = m["jvm " s]; k = m["c " s]; q = m["native " s]
                printf "%8s %14.2f %14.2f %14.2f %10.2f %10.2f\n", s, j, q, k, j / k, q / k
            }
            exit bad
        }'
}

percall() {
    peer=$build/bench/drain_peer
    plain=$build/bench/libplain_port.so
    calls=${PERCALL_CALLS:-2000}
    batches=${PERCALL_BATCHES:-41}
    warmup=${PERCALL_WARMUP:-50000}
    need "$lib" "$peer" "$plain" "$classes/PerCall.class"
    start_peer "$peer" 2 -n 2
    port=$(sed -n 1p "$work/peer.out")
    plainport=$(sed -n 2p "$work/peer.out")

    echo "caldrix per call on $port, baseline on $plainport: $rounds JVM runs, each $batches batches of $calls calls after $warmup warm-up"
    : >"$work/pc.out"
    r=0
    while [ $r -lt "$rounds" ]; do
        "$java" -Dcaldrix.library="$lib" -Dplainport.library="$plain" -cp "$classes" PerCall \
            "$port" "$plainport" "$calls" "$batches" "$warmup" >"$work/run.out" \
            || { cat "$work/run.out"; echo "run_bench: the per-call JVM run failed" >&2; exit 1; }
        grep '^percall ' "$work/run.out" | cut -d' ' -f2- >>"$work/pc.out"
        r=$((r + 1))
    done
    stop_peer

    medians <"$work/pc.out" | awk -v limit="$limit" '
        { m[$1 " " $2] = $3 }
        END {
            printf "%-18s %12s %12s %10s\n", "method", "caldrix ns", "baseline ns", "ratio"
            n = split("PortGetReadCount PortIsCTS PortWrite", names, " ")
            bad = 0
            for (i = 1; i <= n; i++) {
                c = m[names[i] " caldrix"]; b = m[names[i] " baseline"]; q = m[names[i] " ratio"]
                if (c == "" || b == "" || q == "") { bad = 1; continue }
                printf "%-18s %12.1f %12.1f %10.2f%s\n", names[i], c, b, q, (q > limit ? "  above " limit : "")
            }
            exit bad
        }'
}

# What each method does at the system-call level on each side, from one traced JVM run that
# marks the start of each method's calls with a line on stdout.
syscalls() {
    peer=$build/bench/drain_peer
    plain=$build/bench/libplain_port.so
    need "$lib" "$peer" "$plain" "$classes/PerCall.class"
    if ! command -v strace >/dev/null 2>&1; then
        echo "run_bench: strace is not installed; the system calls are not compared" >&2
        return 2
    fi
    start_peer "$peer" 2 -n 2
    port=$(sed -n 1p "$work/peer.out")
    plainport=$(sed -n 2p "$work/peer.out")
    traced="ioctl,read,write,poll,futex"
    strace -f -qq -e trace=$traced -o "$work/strace.out" \
        "$java" -Dcaldrix.library="$lib" -Dplainport.library="$plain" -cp "$classes" PerCall \
        --trace "$port" "$plainport" >"$work/run.out" 2>&1 \
        || { cat "$work/run.out"; echo "run_bench: the traced JVM run failed" >&2; return 2; }
    stop_peer

    caldrix_tty=$(sed -n 's/^stty caldrix //p' "$work/run.out")
    plain_tty=$(sed -n 's/^stty baseline //p' "$work/run.out")
    mismatch=0
    if [ -z "$caldrix_tty" ] || [ "$caldrix_tty" != "$plain_tty" ]; then
        words() { echo "$1" | sed 's/ = /=/g; s/;//g' | tr ' ' '\n' | sort -u; }
        words "$caldrix_tty" >"$work/tty.caldrix"
        words "$plain_tty" >"$work/tty.plain"
        echo "terminal settings differ: caldrix:" $(comm -23 "$work/tty.caldrix" "$work/tty.plain")
        echo "                          baseline:" $(comm -13 "$work/tty.caldrix" "$work/tty.plain")
        mismatch=1
    else
        echo "terminal settings: the same on both sides (stty -a)"
    fi
    echo "system calls per call (strace -f -e trace=$traced, the calling thread, 3 calls each):"
    awk '
        # The calling thread is the one that writes the marks.
        $0 ~ /^[0-9]+ +write\(1, "mark / {
            tid = $1
            if (cur != "") calls[cur] = list
            line = $0; sub(/^[^"]*"mark /, "", line); sub(/\\n".*/, "", line)
            cur = line == "end" ? "" : line; list = ""
            if (cur != "") order[++n] = cur
            next
        }
        $1 != tid || cur == "" || $2 ~ /^<\.\.\./ { next }
        {
            # A call another thread interrupts is printed in two halves; the first names it.
            line = $0; sub(/ <unfinished \.\.\.>.*/, "", line)
            name = $2; sub(/\(.*/, "", name)
            if (name == "ioctl" || name == "futex") { split(line, a, ", "); name = name " " a[2] }
            else if (name == "write" || name == "read") { split(line, a, ", "); c = a[3]; sub(/\).*/, "", c); name = name " " c }
            list = list (list == "" ? "" : ", ") name
        }
        function per_call(l,    x, k, m, chunk, i) {
            if (l == "") return "(none)"
            k = split(l, x, ", ")
            if (k % 3 == 0) {
                m = k / 3; chunk = x[1]
                for (i = 2; i <= m; i++) chunk = chunk ", " x[i]
                if (l == chunk ", " chunk ", " chunk) return chunk
            }
            return l " (for all 3 calls)"
        }
        END {
            bad = 0
            for (i = 1; i <= n; i += 2) {
                split(order[i], a, " ")
                c = per_call(calls[a[1] " caldrix"]); b = per_call(calls[a[1] " baseline"])
                same = c == b
                if (!same) bad = 1
                printf "%-18s caldrix:  %s\n%-18s baseline: %s  %s\n", a[1], c, "", b, same ? "(same)" : "(DIFFERENT)"
            }
            if (n == 0) { print "run_bench: the trace has no marks" > "/dev/stderr"; bad = 1 }
            exit bad
        }' "$work/strace.out" || mismatch=1
    return $mismatch
}

hidreads() {
    need "$build/bench/hid_reads"
    echo "HID reads of queued reports, beside a serial port with bytes waiting (ns per call)"
    "$build/bench/hid_reads" "$rounds" >"$work/hid.out" || return 1
    printf "%-18s %10s %10s\n" method HID serial
    awk '$1 == "hidreads" { printf "%-18s %10s %10s\n", $2, $3, $4 }' "$work/hid.out"
}

# throughput_runs MODE PORT: ROUNDS runs of the JVM and of C, taking turns, into $work/tp.out.
throughput_runs() {
    r=0
    while [ $r -lt "$rounds" ]; do
        "$java" -Dcaldrix.library="$lib" -cp "$classes" Throughput "$1" "$2" "$tp_batches" \
            "$tp_seconds" >"$work/run.out" \
            || { cat "$work/run.out"; echo "run_bench: the JVM $1 run failed" >&2; exit 1; }
        grep '^jvm ' "$work/run.out" >>"$work/tp.out"
        "$build/bench/throughput_c" "$1" "$2" "$tp_batches" "$tp_seconds" >>"$work/tp.out" \
            || { echo "run_bench: the C $1 run failed" >&2; exit 1; }
        r=$((r + 1))
    done
}

throughput() {
    tp_batches=${TP_BATCHES:-7}
    tp_seconds=${TP_SECONDS:-0.3}
    need "$lib" "$build/bench/drain_peer" "$build/bench/echo_peer" "$build/bench/throughput_c" \
        "$classes/Throughput.class"
    : >"$work/tp.out"
    start_peer "$build/bench/drain_peer" 1 -n 1
    port=$(sed -n 1p "$work/peer.out")
    echo "caldrix throughput in 4 KiB pieces: $rounds runs a side, each $tp_batches batches of $tp_seconds s after one to warm up"
    echo "  write: $port, its far end drained"
    throughput_runs write "$port"
    stop_peer
    start_peer "$build/bench/echo_peer" 1
    port=$(sed -n 1p "$work/peer.out")
    echo "  pair: $port, its far end echoing; the writer at most 16 KiB ahead of the reader"
    throughput_runs pair "$port"
    stop_peer

    medians <"$work/tp.out" | awk '
        { m[$1 " " $2] = $3 }
        END {
            printf "%-8s %12s %12s %8s\n", "part", "JVM MB/s", "C MB/s", "JVM/C"
            n = split("write pair", parts, " ")
            bad = 0
            for (i = 1; i <= n; i++) {
                p = parts[i]
                if (!(("jvm " p) in m) || !(("c " p) in m) || m["c " p] <= 0) { bad = 1; continue }
                q = m["jvm " p] / m["c " p]
                printf "%-8s %12.1f %12.1f %8.2f%s\n", p, m["jvm " p], m["c " p], q, (q < 0.9 ? "  below 0.9" : "")
            }
            exit bad
        }'
}

openclose() {
    cycles=${OC_CYCLES:-2000}
    batches=${OC_BATCHES:-11}
    need "$lib" "$build/bench/drain_peer" "$build/bench/openclose_c" "$classes/OpenClose.class"
    start_peer "$build/bench/drain_peer" 1 -n 1
    port=$(sed -n 1p "$work/peer.out")
    echo "caldrix open+close of $port: $rounds runs a side, each $batches batches of $cycles cycles after one to warm up"
    : >"$work/oc.out"
    r=0
    while [ $r -lt "$rounds" ]; do
        "$java" -Dcaldrix.library="$lib" -cp "$classes" OpenClose "$port" "$cycles" "$batches" \
            >"$work/run.out" \
            || { cat "$work/run.out"; echo "run_bench: the JVM open/close run failed" >&2; exit 1; }
        grep '^jvm ' "$work/run.out" >>"$work/oc.out"
        "$build/bench/openclose_c" "$port" "$cycles" "$batches" >>"$work/oc.out" \
            || { echo "run_bench: the C open/close run failed" >&2; exit 1; }
        r=$((r + 1))
    done
    stop_peer

    medians <"$work/oc.out" | awk '
        { m[$1] = $3 }
        END {
            if (!("jvm" in m) || !("c" in m) || m["c"] <= 0) exit 1
            printf "%-10s %14s %14s %8s\n", "part", "JVM us/cycle", "C us/cycle", "JVM/C"
            printf "%-10s %14.2f %14.2f %8.2f\n", "openclose", m["jvm"], m["c"], m["jvm"] / m["c"]
        }'
}

events() {
    iterations=${EV_ITERATIONS:-3000}
    warmup=${EV_WARMUP:-5000}
    idle=${EV_IDLE:-3}
    peer=$build/bench/event_peer
    need "$lib" "$peer" "$build/bench/events_c" "$classes/Events.class"
    echo "caldrix listener latency, one byte from the far end of a pseudo-terminal: $rounds runs a side, each $iterations timed after $warmup, then $idle s idle"
    : >"$work/ev.out"
    r=0
    while [ $r -lt "$rounds" ]; do
        "$java" -Dcaldrix.library="$lib" -cp "$classes" Events "$peer" "$iterations" "$warmup" \
            "$idle" >"$work/run.out" \
            || { cat "$work/run.out"; echo "run_bench: the JVM events run failed" >&2; exit 1; }
        grep '^jvm ' "$work/run.out" >>"$work/ev.out"
        "$build/bench/events_c" "$peer" "$iterations" "$warmup" "$idle" >>"$work/ev.out" \
            || { echo "run_bench: the C events run failed" >&2; exit 1; }
        r=$((r + 1))
    done

    # medians keys on the first two fields: "jvm latency", "c idle", ...
    medians <"$work/ev.out" | awk '
        { m[$1 " " $2] = $3 }
        END {
            if (!("jvm latency" in m) || !("c latency" in m) || m["c latency"] <= 0 \
                || !("jvm idle" in m) || !("c idle" in m)) exit 1
            q = m["jvm latency"] / m["c latency"]
            printf "%-22s %12s %12s %8s\n", "part", "JVM", "C", "JVM/C"
            printf "%-22s %12.2f %12.2f %8.2f%s\n", "latency us (median)", m["jvm latency"], m["c latency"], q, (q > 1.5 ? "  above 1.5" : "")
            printf "%-22s %12.2f %12.2f\n", "idle wakeups a second", m["jvm idle"], m["c idle"]
        }'
}

status=0
case $part in
    hidreads) hidreads || status=1 ;;
    roundtrip) roundtrip || status=1 ;;
    percall) percall || status=1 ;;
    syscalls) syscalls || status=1 ;;
    throughput) throughput || status=1 ;;
    openclose) openclose || status=1 ;;
    events) events || status=1 ;;
    all)
        roundtrip || status=1
        echo
        percall || status=1
        echo
        hidreads || status=1
        echo
        throughput || status=1
        echo
        openclose || status=1
        echo
        events || status=1
        echo
        # A benchmark reports; a missing strace or a changed library does not fail it.
        syscalls
        [ $? -eq 1 ] && echo "run_bench: the baseline no longer does what the library does; update bench/plain_port.c before trusting the ratios" >&2
        ;;
esac
exit $status
