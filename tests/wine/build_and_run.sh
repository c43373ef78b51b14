#!/bin/bash
# Builds both Windows flavours of caldrix.dll with MinGW-w64 and tests them under Wine.
#
#   build_and_run.sh BUILD_ROOT
#
# BUILD_ROOT/win32 and BUILD_ROOT/win64 hold the two builds, BUILD_ROOT/wineprefix the Wine
# prefix both test runs share. Fails on the first build error, on an export or import table that
# is not exactly as a JVM needs it, or on any failed check of the Wine harness.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_ROOT" >&2
    exit 2
fi
root=$(realpath -m "$1")
src=$(realpath "$(dirname "$0")/../..")
jobs=${CALDRIX_JOBS:-2}

for flavour in "win32 i686 x86" "win64 x86_64 x64"; do
    read -r dir triple arch <<<"$flavour"
    echo "== $dir: configure and build ($triple)"
    cmake -S "$src" -B "$root/$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$triple-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCALDRIX_WINEPREFIX="$root/wineprefix" >/dev/null
    cmake --build "$root/$dir" -j "$jobs"
    echo "== $dir: export and import tables"
    "$src/tests/wine/check_exports.sh" "$triple-w64-mingw32-objdump" "$root/$dir/caldrix.dll" "$arch"
done

echo "== Wine"
"$src/tests/wine/run_wine_tests.sh" "$root/wineprefix" "$root/win32/tests/wine" "$root/win64/tests/wine"
