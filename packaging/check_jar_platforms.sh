#!/bin/bash
# Checks that caldrix.jar carries a native and a caldrix-ports for each of the five platforms it is
# for, built for that platform's machine, and that each Linux one runs on an old distribution: the
# library asks for no glibc symbol newer than 2.28 and no shared C++ runtime (the same check as
# check_native_symbols.sh), the program is linked statically.
#
#   check_jar_platforms.sh CMAKE JAR WORK_DIR
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 CMAKE JAR WORK_DIR" >&2
    exit 2
fi
cmake=$1 jar=$(realpath "$2") work=$3
here=$(dirname "$(realpath "$0")")
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && "$cmake" -E tar xf "$jar")
natives=$work/com/vorant/jpos/tavrolink/native
fail=0
problem() {
    echo "$1"
    fail=1
}

# platform, the machine readelf -h names (or the PE machine number), the ELF class, a flag.
expected="windows-x86 PE 014c -
windows-x86_64 PE 8664 -
linux-x86_64 ELF Advanced_Micro_Devices_X86-64 ELF64
linux-aarch64 ELF AArch64 ELF64
linux-armhf ELF ARM ELF32"

pe_machine() {  # the machine field of a PE file's COFF header, as 4 hex digits
    local at
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ "$(od -An -c -j"$at" -N4 "$1" | tr -d ' ')" = 'PE\0\0' ] || { echo "none"; return; }
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}

listed=$(sed -n 's/^platforms=//p' "$natives/natives.properties")
want=$(cut -d' ' -f1 <<<"$expected" | sort | tr '\n' ' ')
[ "$listed " = "$want" ] || problem "natives.properties lists '$listed', not '${want% }'"

while read -r platform format machine class; do
    dir=$natives/$platform
    if [ "$format" = PE ]; then
        files="$dir/caldrix.dll $dir/caldrix-ports.exe"
    else
        files="$dir/libcaldrix.so $dir/caldrix-ports"
    fi
    for f in $files; do
        entry=${f#"$work"/}
        if [ ! -f "$f" ]; then
            problem "$entry: missing"
            continue
        fi
        if [ "$format" = PE ]; then
            got=$(pe_machine "$f")
            [ "$got" = "$machine" ] || problem "$entry: PE machine $got, not $machine"
            continue
        fi
        header=$(readelf -h "$f" 2>&1) || { problem "$entry: not an ELF file"; continue; }
        got=$(sed -n 's/^ *Machine: *//p' <<<"$header" | tr ' ' _)
        [ "$got" = "$machine" ] || problem "$entry: machine $got, not $machine"
        got=$(sed -n 's/^ *Class: *//p' <<<"$header")
        [ "$got" = "$class" ] || problem "$entry: class $got, not $class"
        # Debian's armhf: the hard-float calling convention, which a soft-float system cannot load.
        if [ "$platform" = linux-armhf ] && ! grep -q "hard-float ABI" <<<"$header"; then
            problem "$entry: not built for the hard-float ABI"
        fi
        case $f in
        */libcaldrix.so)
            "$here/check_native_symbols.sh" "$f" GLIBC_2.28 | sed "s|^|$platform: |" || fail=1
            ;;
        */caldrix-ports)
            if readelf -l -d "$f" | grep -q "INTERP\|(NEEDED)"; then
                problem "$entry: linked dynamically"
            fi
            ;;
        esac
    done
done <<<"$expected"

if [ $fail -eq 0 ]; then
    echo "caldrix.jar: $(wc -l <<<"$expected") platforms, each native and caldrix-ports built for its machine"
fi
exit $fail
