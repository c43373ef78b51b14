#!/bin/bash
# The jar's ARM natives on their own architectures, under qemu-user: the unit tests built with the
# same cross compiler and objects, the glibc replacements against the real functions, and the
# pinned native loaded with every symbol bound against the cross glibc.
#
#   run_under_qemu.sh BUILD_ROOT
#
# BUILD_ROOT/arm64 and BUILD_ROOT/armhf are the trees packaging/build_package.sh configured.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_ROOT" >&2
    exit 2
fi
root=$(realpath -m "$1")
jobs=${CALDRIX_JOBS:-2}

# The tests left out under emulation, each for a gap of qemu-user's (Debian 12 ships 7.2) rather
# than anything of the library's; they all run on x86_64, where the same code is tested.
skipped=(
    # The termios2 ioctls (TCGETS2, TCSETS2), which the library sets a port through, answer ENOSYS
    # under qemu-user, so no terminal opens as a port.
    'TtyNames.CreateFileAnswersAsWindowsDoes'
    'TtyOpen.*'
    'TtyPort.*'
    'TtyPortClose.*'
    'SerialReadTiming.*'
    'PtyWait.*'
    # qemu-user runs posix_spawn's vfork child as a forked one, so an exec that fails is not
    # reported back: a program that is not there appears to start.
    'PlatformHid.AProgramStartsUnderTheHostRootWithItsArgumentsAndIsReaped'
    # A started program sees the emulator's own state in /proc/self: its descriptor (fd 251) and
    # its blocked signals, not what the library handed over.
    'PlatformProcess.TheProgramInheritsNoDescriptorAndNoSignalState'
    # qemu-user answers set_robust_list with ENOSYS, so the kernel never marks a killed holder's
    # mutex as abandoned and nothing can take it again: the tests that kill a holder wait for ever.
    'PlatformSharedEvent.AStoppedHolderHoldsUpOnlyItsOwnEventAndForABoundedTime'
    'PlatformSharedEvent.AKilledHolderLeavesNothingBehind'
)
filter="-$(IFS=:; echo "${skipped[*]}")"

status=0
for flavour in "arm64 qemu-aarch64 aarch64-linux-gnu" "armhf qemu-arm arm-linux-gnueabihf"; do
    read -r dir qemu triple <<<"$flavour"
    build=$root/$dir
    run=("$qemu" -L "/usr/$triple")
    echo "== $dir: unit tests and the packaged native under $qemu"
    cmake --build "$build" -j "$jobs" \
        --target caldrix caldrix_unit_tests caldrix_glibc_compat_test caldrix_load_native
    start=$SECONDS
    # A bound on the whole run, ten times its half minute, so that a hang ends the step, not CI.
    timeout -k 10 300 "${run[@]}" "$build/tests/unit/caldrix_unit_tests" \
        --gtest_filter="$filter" --gtest_brief=1 || { echo "$dir: unit tests failed ($?)"; status=1; }
    "${run[@]}" "$build/caldrix_glibc_compat_test" || status=1
    "${run[@]}" "$build/caldrix_load_native" "$build/libcaldrix.so" || status=1
    echo "== $dir: $((SECONDS - start)) s under $qemu"
done
exit $status
