#!/usr/bin/env bash
# Installs what building and testing caldrix needs, and nothing when it is all there already.
#   scripts/setup.sh demo   the Linux library, a JDK and the demo's tools
#   scripts/setup.sh test   everything: also the Windows and ARM cross compilers, Wine, qemu-user,
#                           socat, JUnit 5
set -euo pipefail

what=${1:-test}

linux_pkgs=(build-essential cmake libgtest-dev openjdk-17-jdk-headless)
# gcc-12-multilib rather than gcc-multilib, which Debian declares in conflict with every cross gcc.
test_pkgs=(socat junit5 g++-mingw-w64-i686 g++-mingw-w64-x86-64 gcc-12-multilib wine wine32 wine64
           procps g++-aarch64-linux-gnu g++-arm-linux-gnueabihf libc6-dev-arm64-cross
           libc6-dev-armhf-cross qemu-user googletest
           maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libsurefire-java
           libmaven-jar-plugin-java)

pkgs=("${linux_pkgs[@]}")
[ "$what" = test ] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package.
if printf '%s\n' "${missing[@]}" | grep -q '^wine32$'; then
  dpkg --print-foreign-architectures | grep -q i386 || $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
