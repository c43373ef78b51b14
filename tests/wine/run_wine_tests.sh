#!/bin/bash
# Runs the Windows harness of one or more caldrix builds under Wine.
#
#   run_wine_tests.sh WINEPREFIX HARNESS_DIR...
#
# WINEPREFIX   a private Wine prefix; made (64-bit, so it runs 32- and 64-bit programs) when
#              missing, and reused afterwards
# HARNESS_DIR  a Windows build's tests/wine directory (the one holding harness.env)
#
# For each build: a pty peer answers on the far end of COM5 and joins COM6 and COM7 by a
# null-modem cable, the modem shim gives the ptys modem lines inside Wine, and the harness checks
# the DLL's exports and answers. A second, short run repeats the checks of a close during a
# transfer or wait with CancelIoEx hidden (CALDRIX_HIDE_CANCELIOEX), as on XP, which has none.
# Each run's output must show no failed check and the load line exactly once and at load time.
# Every Wine call is bounded; the prefix's wineserver is stopped on exit.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 WINEPREFIX HARNESS_DIR..." >&2
    exit 2
fi
prefix=$(realpath -m "$1")
shift

die() {
    echo "run_wine_tests: $*" >&2
    exit 1
}

# Debian installs the two loaders here; the `wine` front end is a shell script that would
# carry LD_PRELOAD into a 64-bit shell first.
wine32=${CALDRIX_WINE32:-/usr/lib/wine/wine}
wine64=${CALDRIX_WINE64:-/usr/lib/wine/wine64}
[ -x "$wine32" ] || wine32=$(command -v wine || true)
[ -x "$wine64" ] || wine64=$(command -v wine64 || true)
[ -n "$wine32" ] && [ -x "$wine32" ] || die "no 32-bit Wine loader (install wine32:i386)"
[ -n "$wine64" ] && [ -x "$wine64" ] || die "no 64-bit Wine loader (install wine64)"
command -v wineserver >/dev/null || die "no wineserver"

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers: the harness is a console program.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The ports the harness uses, each a link to a pty slave the peer makes.
ports="COM5 COM6 COM7"

peer_pid=
cleanup() {
    if [ -n "$peer_pid" ]; then
        kill "$peer_pid" 2>/dev/null || true
        wait "$peer_pid" 2>/dev/null || true
    fi
    timeout 60 wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# One run at a time per prefix: COM5 and the wineserver are shared.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock -w 900 9 || die "timed out waiting for another run on $prefix"

make_prefix() {
    echo "run_wine_tests: creating Wine prefix $prefix"
    rm -rf "$prefix"
    timeout 300 wineboot -i >/dev/null 2>&1 || die "wineboot -i failed or timed out"
    touch "$prefix/.caldrix-ready"
}
[ -f "$prefix/.caldrix-ready" ] || make_prefix
# Wine rebuilds its COM device links from the serial devices it finds and from this key, so each
# port is named here as well as linked below. The ports named are recorded: a prefix made when
# fewer were used gets the others.
if [ "$(cat "$prefix/.caldrix-ports" 2>/dev/null)" != "$ports" ]; then
    for port in $ports; do
        timeout 120 wine reg add 'HKLM\Software\Wine\Ports' /v "$port" \
            /d "$prefix/caldrix-${port,,}" /f >/dev/null 2>&1 ||
            die "cannot name $port in the registry"
    done
    timeout 60 wineserver -w || die "wineserver did not finish"
    echo "$ports" >"$prefix/.caldrix-ports"
fi

# A wineserver and its services started now, without the shim: only the harness gets it.
timeout 60 wineserver -k 2>/dev/null || true
# Its own log: the server takes the pty as its controlling terminal and dumps its objects when
# the peer hangs up, which is noise in the test output.
wineserver -p >"$prefix.wineserver.log" 2>&1 || die "cannot start wineserver"
timeout 300 wineboot >/dev/null 2>&1 || die "wineboot failed or timed out"

win_path() {
    # Wine maps the whole Unix tree onto drive Z:.
    local p=$1
    echo "Z:${p//\//\\}"
}

# The adapters Wine's NetBIOS lists: interfaces other than loopback that have an IPv4 address.
host_macs() {
    local macs=() ifname
    if command -v ip >/dev/null; then
        while read -r ifname; do
            [ "$ifname" = lo ] && continue
            [ -r "/sys/class/net/$ifname/address" ] && macs+=("$(cat "/sys/class/net/$ifname/address")")
        done < <(ip -o -4 addr show | awk '{ print $2 }' | sort -u)
    elif [ -r /sys/class/net/eth0/address ]; then
        macs+=("$(cat /sys/class/net/eth0/address)")
    fi
    if [ ${#macs[@]} -eq 0 ]; then
        echo none
    else
        (IFS=,; echo "${macs[*]}")
    fi
}

failures=0

# One run of the harness, in run_one's scope: harness_pass SUFFIX MODE [VAR=VALUE...] runs it
# with the variables set, shows its output and adds what is wrong with it to `bad`.
harness_pass() {
    local suffix=$1 mode=$2
    shift 2
    local out=$run/harness$suffix.out err=$run/harness$suffix.err rc=0
    env "$@" LD_PRELOAD="$CALDRIX_SHIM_DIR/\$LIB/caldrix_modem_shim.so" \
        CALDRIX_MODEM_INPUTS="$lines_in" CALDRIX_MODEM_OUTPUTS="$lines_out" \
        timeout 300 "$loader" "$CALDRIX_HARNESS" "$(win_path "$CALDRIX_DLL")" \
        "$(win_path "$lines_in")" "$(win_path "$lines_out")" "$macs" "$mode" \
        >"$out" 2>"$err" </dev/null || rc=$?

    local text label="$CALDRIX_WIN_ARCH $mode${*:+ ($*)}"
    text=$(tr -d '\r' <"$out")
    echo "run_wine_tests: $label"
    echo "$text"
    if [ -s "$err" ]; then
        echo "run_wine_tests: harness stderr:"
        cat "$err"
    fi

    [ $rc -eq 0 ] || bad+=("$label: harness exited with $rc")
    grep -q '^not ok' <<<"$text" &&
        bad+=("$label: failed checks: $(grep -c '^not ok' <<<"$text")")
    grep -Eq '^harness: [0-9]+ checks, 0 failed$' <<<"$text" ||
        bad+=("$label: no clean summary line")

    # The load line: exactly once, exactly this text (the CRT writes "\n" as "\r\n"), and while
    # LoadLibrary runs.
    local load_line=' caldrix: on_library_load: '
    local count
    count=$(grep -c $'^ caldrix: on_library_load: \r$' "$out" || true)
    [ "$count" -eq 1 ] || bad+=("$label: load line printed $count times, expected once")
    local between
    between=$(awk '/^harness: loading$/ { on = 1; next } /^harness: loaded$/ { on = 0 } on' <<<"$text")
    [ "$between" = "$load_line" ] ||
        bad+=("$label: LoadLibrary printed '$between', expected '$load_line'")
}

run_one() {
    local dir
    dir=$(realpath "$1")
    local env_file=$dir/harness.env
    [ -f "$env_file" ] || die "$env_file missing: is $dir a Windows build's tests/wine?"
    local CALDRIX_WIN_ARCH= CALDRIX_DLL= CALDRIX_HARNESS= CALDRIX_SHIM_DIR= CALDRIX_PEER=
    local CALDRIX_STANDIN=
    # shellcheck disable=SC1090
    source "$env_file"
    for f in "$CALDRIX_DLL" "$CALDRIX_HARNESS" "$CALDRIX_PEER" "$CALDRIX_STANDIN" \
        "$CALDRIX_SHIM_DIR/lib/i386-linux-gnu/caldrix_modem_shim.so" \
        "$CALDRIX_SHIM_DIR/lib/x86_64-linux-gnu/caldrix_modem_shim.so"; do
        [ -e "$f" ] || die "$f missing: build the tree first"
    done
    local loader
    case $CALDRIX_WIN_ARCH in
        x86) loader=$wine32 ;;
        x64) loader=$wine64 ;;
        *) die "unknown architecture '$CALDRIX_WIN_ARCH' in $env_file" ;;
    esac

    # The stand-in monitor where the library starts the real one: under the root of drive C:.
    mkdir -p "$prefix/drive_c/Calbrest/Sentivo"
    cp "$CALDRIX_STANDIN" "$prefix/drive_c/Calbrest/Sentivo/Sentivo.exe"

    local run=$dir/run
    rm -rf "$run"
    mkdir -p "$run"
    local lines_in=$run/modem-inputs lines_out=$run/modem-outputs
    : >"$lines_in"

    # The far ends of the ports; the peer reports ready once the links are in place.
    local links=() port
    for port in $ports; do links+=("$prefix/caldrix-${port,,}"); done
    coproc PEER { exec timeout 900 "$CALDRIX_PEER" "${links[@]}" 2>&1; }
    peer_pid=$PEER_PID
    local ready=
    read -r -t 20 -u "${PEER[0]}" ready || true
    case $ready in
        ready\ *) ;;
        *) die "serial peer did not start: '$ready'" ;;
    esac
    for port in $ports; do
        ln -sfn "$prefix/caldrix-${port,,}" "$prefix/dosdevices/${port,,}"
    done

    local macs
    macs=$(host_macs)
    echo "run_wine_tests: $CALDRIX_WIN_ARCH harness ($ports -> ${ready#ready }, adapters: $macs)"

    local bad=()
    harness_pass "" full
    harness_pass "-xp" closes CALDRIX_HIDE_CANCELIOEX=1

    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    peer_pid=

    if [ ${#bad[@]} -ne 0 ]; then
        local b
        for b in "${bad[@]}"; do
            echo "FAIL ($CALDRIX_WIN_ARCH): $b" >&2
        done
        failures=$((failures + 1))
    else
        echo "run_wine_tests: $CALDRIX_WIN_ARCH passed"
    fi
}

for dir in "$@"; do
    run_one "$dir"
done

[ $failures -eq 0 ] || die "$failures of $# harness runs failed"
echo "run_wine_tests: all passed"
