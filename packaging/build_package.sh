#!/bin/bash
# Builds caldrix.jar: the Java classes and the natives for every platform, each with the
# caldrix-ports program beside it.
#
#   build_package.sh BUILD_ROOT
#
# BUILD_ROOT/win32 and BUILD_ROOT/win64 are the Windows builds that the Wine harness tests
# (configured here exactly as tests/wine/build_and_run.sh configures them, so both share one
# build); BUILD_ROOT/arm64 and BUILD_ROOT/armhf the ARM natives (and the unit tests that
# `make test-arm` runs under qemu-user); BUILD_ROOT/package builds the Linux native as the jar
# ships it, the jar itself, BUILD_ROOT/package/caldrix.jar, and the jar's tests (ctest --test-dir
# BUILD_ROOT/package).
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_ROOT" >&2
    exit 2
fi
root=$(realpath -m "$1")
src=$(realpath "$(dirname "$0")/..")
jobs=${CALDRIX_JOBS:-2}

for flavour in "win32 i686" "win64 x86_64"; do
    read -r dir triple <<<"$flavour"
    echo "== $dir: caldrix.dll ($triple)"
    cmake -S "$src" -B "$root/$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triple-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCALDRIX_WINEPREFIX="$root/wineprefix" >/dev/null
    cmake --build "$root/$dir" -j "$jobs" --target caldrix caldrix-ports
done

# The ARM natives, with Debian's cross compilers, pinned and linked as the x86_64 one is. The unit
# tests of `make test-arm` are built in the same trees, for the same objects.
for flavour in "arm64 aarch64 aarch64-linux-gnu" "armhf armhf arm-linux-gnueabihf"; do
    read -r dir platform triple <<<"$flavour"
    echo "== $dir: the linux-$platform native ($triple)"
    cmake -S "$src" -B "$root/$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCALDRIX_PORTABLE=ON >/dev/null
    cmake --build "$root/$dir" -j "$jobs" --target caldrix caldrix-ports
done

echo "== package: the Linux native and caldrix.jar"
cmake -S "$src" -B "$root/package" -DCMAKE_BUILD_TYPE=Release -DCALDRIX_TESTS=OFF \
    -DCALDRIX_PORTABLE=ON -DCALDRIX_PACKAGE=ON \
    -DCALDRIX_JAR_NATIVES="windows-x86=$root/win32/caldrix.dll|windows-x86_64=$root/win64/caldrix.dll|linux-aarch64=$root/arm64/libcaldrix.so|linux-armhf=$root/armhf/libcaldrix.so" \
    -DCALDRIX_JAR_TOOLS="windows-x86=$root/win32/tools/ports/caldrix-ports.exe|windows-x86_64=$root/win64/tools/ports/caldrix-ports.exe|linux-aarch64=$root/arm64/tools/ports/caldrix-ports|linux-armhf=$root/armhf/tools/ports/caldrix-ports" \
    -DCALDRIX_WINEPREFIX="$root/wineprefix" \
    >/dev/null
cmake --build "$root/package" -j "$jobs"
echo "caldrix: $root/package/caldrix.jar"
