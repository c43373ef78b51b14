#!/bin/bash
# Checks the export and import tables of a caldrix.dll build.
#
#   check_exports.sh OBJDUMP DLL x86|x64
#
# Exports: exactly the seventeen fixed native methods, the port package's seven (the port
# object's two, the device watch's five) and JNI_OnLoad, by name, nothing more (a 32-bit JVM binds
# them by their __stdcall decorated names, a 64-bit one by the plain names), all 25 reachable by
# name.
# Imports: Windows system DLLs only; a MinGW runtime DLL (libstdc++, libgcc, libwinpthread) would not be there on a customer's machine. The 32-bit DLL also loads on
# XP-class point-of-sale systems (Windows XP SP3, POSReady 2009): it imports none of the functions
# below, which Microsoft's documentation gives a later minimum client (Vista or newer). Our code
# looks such functions up at run time; the check is on the linked DLL, so that the static MinGW
# runtime is held to it too.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 OBJDUMP DLL x86|x64" >&2
    exit 2
fi
objdump=$1
dll=$2
arch=$3

# method, argument bytes (JNIEnv, class and parameters, four bytes each on x86), and the class
# when it is not the static caldrix class
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
open 12 com_vorant_jpos_tavrolink_port_NativePort
await 16 com_vorant_jpos_tavrolink_port_NativePort
open 8 com_vorant_jpos_tavrolink_port_NativeWatch
await 16 com_vorant_jpos_tavrolink_port_NativeWatch
stop 12 com_vorant_jpos_tavrolink_port_NativeWatch
close 12 com_vorant_jpos_tavrolink_port_NativeWatch
scan 8 com_vorant_jpos_tavrolink_port_NativeWatch
JNI_OnLoad 8 -
"

expected=$(while read -r method bytes pkg; do
    [ -n "$method" ] || continue
    # PortIsCD is bound to the older package, and only there.
    if [ "$method" = PortIsCD ]; then
        pkg=tellspan_devices_tavrolink_caldrix
    fi
    pkg=${pkg:-com_vorant_jpos_tavrolink_caldrix}
    # The load hook a VM calls, which reads caldrix.log: no class in its name.
    name=Java_${pkg}_${method}
    [ "$pkg" = - ] && name=$method
    case $arch in
        x86) echo "_${name}@${bytes}" ;;
        x64) echo "${name}" ;;
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
    fail "export names differ from the 25 exports"
    diff <(echo "$expected") <(echo "$actual") | sed -n 's/^< /  missing: /p; s/^> /  unexpected: /p' >&2 || true
fi

# No export by ordinal alone: the address table holds exactly the named entries.
address_count=$(awk '/^[[:space:]]*Export Address Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; exit }' <<<"$dump")
if [ -z "$address_count" ] || [ $((16#$address_count)) -ne 25 ]; then
    fail "export address table holds '${address_count:-none}' entries, expected 25 (hex 19)"
fi
name_count=$(awk '/\[Name Pointer\/Ordinal\] Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; exit }' <<<"$dump")
if [ -z "$name_count" ] || [ $((16#$name_count)) -ne 25 ]; then
    fail "export name table holds '${name_count:-none}' entries, expected 25 (hex 19)"
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

# dll function, for functions a 32-bit Windows XP SP3 does not have.
newer_than_xp="
kernel32.dll CancelIoEx
kernel32.dll CancelSynchronousIo
kernel32.dll GetTickCount64
kernel32.dll InitializeCriticalSectionEx
kernel32.dll InitializeConditionVariable
kernel32.dll SleepConditionVariableCS
kernel32.dll SleepConditionVariableSRW
kernel32.dll WakeConditionVariable
kernel32.dll WakeAllConditionVariable
kernel32.dll InitializeSRWLock
kernel32.dll AcquireSRWLockExclusive
kernel32.dll AcquireSRWLockShared
kernel32.dll ReleaseSRWLockExclusive
kernel32.dll ReleaseSRWLockShared
kernel32.dll TryAcquireSRWLockExclusive
kernel32.dll TryAcquireSRWLockShared
kernel32.dll InitOnceInitialize
kernel32.dll InitOnceExecuteOnce
kernel32.dll InitOnceBeginInitialize
kernel32.dll InitOnceComplete
kernel32.dll FlsAlloc
kernel32.dll FlsFree
kernel32.dll FlsGetValue
kernel32.dll FlsSetValue
kernel32.dll CreateEventExA
kernel32.dll CreateEventExW
kernel32.dll CreateMutexExA
kernel32.dll CreateMutexExW
kernel32.dll CreateSemaphoreExA
kernel32.dll CreateSemaphoreExW
kernel32.dll GetFileInformationByHandleEx
kernel32.dll SetFileInformationByHandle
kernel32.dll GetFinalPathNameByHandleA
kernel32.dll GetFinalPathNameByHandleW
kernel32.dll CreateSymbolicLinkA
kernel32.dll CreateSymbolicLinkW
kernel32.dll GetQueuedCompletionStatusEx
kernel32.dll SetFileCompletionNotificationModes
kernel32.dll QueryFullProcessImageNameA
kernel32.dll QueryFullProcessImageNameW
kernel32.dll GetThreadId
kernel32.dll GetProcessIdOfThread
kernel32.dll GetCurrentProcessorNumber
kernel32.dll GetErrorMode
kernel32.dll SetThreadErrorMode
kernel32.dll GetLocaleInfoEx
kernel32.dll LocaleNameToLCID
kernel32.dll LCIDToLocaleName
kernel32.dll CompareStringEx
kernel32.dll LCMapStringEx
kernel32.dll GetSystemTimePreciseAsFileTime
kernel32.dll QueryUnbiasedInterruptTime
kernel32.dll InitializeProcThreadAttributeList
kernel32.dll UpdateProcThreadAttribute
kernel32.dll DeleteProcThreadAttributeList
kernel32.dll SetDefaultDllDirectories
kernel32.dll AddDllDirectory
kernel32.dll RemoveDllDirectory
advapi32.dll RegGetValueA
advapi32.dll RegGetValueW
advapi32.dll RegDeleteTreeA
advapi32.dll RegDeleteTreeW
advapi32.dll RegSetKeyValueA
advapi32.dll RegSetKeyValueW
advapi32.dll EventRegister
advapi32.dll EventUnregister
advapi32.dll EventWrite
"
if [ "$arch" = x86 ]; then
    # dll function, for every function imported by name.
    imported=$(awk '/DLL Name:/ { from = tolower($3); next }
                    /The Export Tables/ { exit }
                    from != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print from, $NF }' <<<"$dump")
    if ! grep -qx "kernel32.dll CreateFileA" <<<"$imported"; then
        fail "the imported functions could not be read from the import table"
    fi
    while read -r from fn; do
        [ -n "$from" ] || continue
        if grep -qxF "$from $fn" <<<"$imported"; then
            fail "imports $fn from $from, which Windows XP does not have: look it up at run time"
        fi
    done <<<"$newer_than_xp"
fi

if [ $failed -ne 0 ]; then
    exit 1
fi
echo "ok: $dll exports exactly the 25 exports ($arch) and imports only: $(echo $imports)"
