#!/bin/bash
# Checks that a Linux native loads on an old distribution: it needs no shared C++ runtime and no
# glibc symbol version newer than the one given. readelf reads the natives of every architecture.
#
#   check_native_symbols.sh LIBRARY [GLIBC_x.y]     (default GLIBC_2.28)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 LIBRARY [GLIBC_x.y]" >&2
    exit 2
fi
lib=$1
max=${2:-GLIBC_2.28}
name=$(basename "$lib")
fail=0

newer() {  # is version $1 (GLIBC_a.b[.c]) newer than $max?
    [ "$1" != "$max" ] && [ "$(printf '%s\n%s\n' "$1" "$max" | sort -V | tail -n1)" = "$1" ]
}

needed=$(readelf -d -W "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
    case $n in
    libstdc++.so* | libgcc_s.so*)
        echo "$name needs the shared C++ runtime $n"
        fail=1
        ;;
    esac
done

# Every version the dynamic loader will ask for, with the symbols that ask for it.
versions=$(readelf -V -W "$lib" |
           awk '/Version needs section/ { on = 1 } on && /Name: [A-Z]+_[0-9]/ { print $3 }' |
           sort -u)
for v in $versions; do
    why=""
    case $v in
    GLIBC_[0-9]*) newer "$v" && why="newer than $max" ;;
    GLIBCXX_* | CXXABI_*) why="a shared C++ runtime" ;;
    esac
    if [ -n "$why" ]; then
        symbols=$(readelf --dyn-syms -W "$lib" |
                  awk -v v="$v" '$7 == "UND" && split($8, s, "@") == 2 && s[2] == v { print s[1] }' |
                  sort | tr '\n' ' ')
        echo "$name needs $v ($why): ${symbols% }"
        fail=1
    fi
done

if [ $fail -eq 0 ]; then
    echo "$name: no shared C++ runtime, no symbol newer than $max ($(echo $versions | tr ' ' ','))"
fi
exit $fail
