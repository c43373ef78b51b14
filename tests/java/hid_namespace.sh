#!/bin/sh
# Runs a JVM (the arguments: the java executable and its arguments) where the library finds a
# fake USB host at the real paths: in a private mount namespace, /sys/class/hidraw is an empty
# directory of a temporary tree and /dev a small /dev of that tree, so that the test can add
# hidraw entries and nodes that only this JVM sees. The JVM is told the tree with
# -Dcaldrix.usbtree=<dir>. Nothing of it outlives the run: the mounts go with the namespace and
# the tree is removed afterwards.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 java [arguments...]" >&2; exit 2; }
if [ ! -d /sys/class/hidraw ]; then
  echo "$0: /sys/class/hidraw is missing (load the hidraw module); the HID JVM tests cannot run" >&2
  exit 1
fi
tree=$(mktemp -d /tmp/caldrix-jvm-usb-XXXXXX)
trap 'rm -rf "$tree"' EXIT
chmod 755 "$tree"

# Root makes the namespace directly; anyone else in a user namespace of their own, where they
# are root too.
if [ "$(id -u)" = 0 ]; then
  unshare_args="--mount --propagation private"
else
  unshare_args="--user --map-root-user --mount --propagation private"
fi

java=$1
shift
set +e
# shellcheck disable=SC2086
unshare $unshare_args "$(dirname "$0")/../../scripts/usb_tree.sh" "$tree" \
  "$0: a mount in the private namespace was refused; the HID JVM tests cannot run" \
  "$java" "-Dcaldrix.usbtree=$tree" "$@"
rc=$?
set -e
if [ $rc -ne 0 ] && ! unshare $unshare_args true 2>/dev/null; then
  echo "$0: no private mount namespace here (unshare $unshare_args failed); the HID JVM tests cannot run" >&2
fi
exit $rc
