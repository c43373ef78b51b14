#!/bin/bash
# Checks the export and import tables of a caldrix.dll build.
#
#   check_exports.sh OBJDUMP DLL x86|x64
#
# Exports: exactly the seventeen native methods, by name, nothing more (a 32-bit JVM binds them
# by their __stdcall decorated names, a 64-bit one by the plain JNI names), all seventeen reachable
# by name. Imports: Windows system DLLs only; a MinGW runtime DLL (libstdc++, libgcc,
# libwinpthread) would not be there on a customer's machine.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OBJDUMP DLL x86|x64" >&2
    exit 2
fi
objdump=$1
dll=$2
arch=$3

# method, argument bytes (JNIEnv, class and parameters, four bytes each on x86)
methods="
PortOpen 12
PortClose 12
PortRead 20
PortWrite 20
PortSetParams 32
PortPurge 20
PortGetReadCount 12
PortIsCTS 12
PortIsDSR 12
PortIsRI 12
PortIsCD 12
PortIsDTR 12
PortIsRTS 12
PortSetRTS 16
PortSetDTR 16
PortSetHWFlowControl 16
GetMACAddress 12
"

expected=$(while read -r method bytes; do
    [ -n "$method" ] || continue
    # PortIsCD is bound to the older package, and only there.
    if [ "$method" = PortIsCD ]; then
        pkg=tellspan_devices_tavrolink_caldrix
    else
        pkg=com_vorant_jpos_tavrolink_caldrix
    fi
    case $arch in
        x86) echo "_Java_${pkg}_${method}@${bytes}" ;;
        x64) echo "Java_${pkg}_${method}" ;;
        *) echo "unknown architecture '$arch'" >&2; exit 2 ;;
    esac
done <<<"$methods" | LC_ALL=C sort)

dump=$("$objdump" -p "$dll")

failed=0
fail() {
    echo "FAIL: $dll: $*" >&2
    failed=1
}

# The name table: the lines after "[Ordinal/Name Pointer] Table" up to the blank line.
actual=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
              on && /^[[:space:]]*$/ { exit }
              on { print $NF }' <<<"$dump" | LC_ALL=C sort)

if [ "$actual" != "$expected" ]; then
    fail "export names differ from the seventeen native methods"
    diff <(echo "$expected") <(echo "$actual") | sed -n 's/^< /  missing: /p; s/^> /  unexpected: /p' >&2 || true
fi

# No export by ordinal alone: the address table holds exactly the named entries.
address_count=$(awk '/^[[:space:]]*Export Address Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; exit }' <<<"$dump")
if [ -z "$address_count" ] || [ $((16#$address_count)) -ne 17 ]; then
    fail "export address table holds '${address_count:-none}' entries, expected 17 (hex 11)"
fi
name_count=$(awk '/\[Name Pointer\/Ordinal\] Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; exit }' <<<"$dump")
if [ -z "$name_count" ] || [ $((16#$name_count)) -ne 17 ]; then
    fail "export name table holds '${name_count:-none}' entries, expected 17 (hex 11)"
fi

# Forwarded exports would send the JVM into another DLL.
if grep -q "Forwarder RVA" <<<"$dump"; then
    fail "forwarded exports present"
fi

# The DLL's own name in its export directory.
dll_name=$(awk '$1 == "Name" && NF == 3 { print $3; exit }' <<<"$dump")
if [ "$dll_name" != "caldrix.dll" ]; then
    fail "export directory names the DLL '$dll_name', expected 'caldrix.dll'"
fi

imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump")
if [ -z "$imports" ]; then
    fail "no import table found"
fi
while read -r imp; do
    [ -n "$imp" ] || continue
    case ${imp,,} in
        kernel32.dll | msvcrt.dll | ucrtbase.dll | netapi32.dll | advapi32.dll | user32.dll | \
            setupapi.dll | hid.dll | ntdll.dll | api-ms-win-*.dll) ;;
        *) fail "imports '$imp', which is not a Windows system DLL" ;;
    esac
done <<<"$imports"

if [ $failed -ne 0 ]; then
    exit 1
fi
echo "ok: $dll exports exactly the 17 native methods ($arch) and imports only: $(echo $imports)"
