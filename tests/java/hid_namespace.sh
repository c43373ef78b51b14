#!/bin/sh
# Runs a JVM (the arguments: the java executable and its arguments) where the library finds a
# fake USB host at the real paths: in a private mount namespace, /sys/class/hidraw is an empty
# directory of a temporary tree and /dev a small /dev of that tree, so that the test can add
# hidraw entries and nodes that only this JVM sees. The JVM is told the tree with
# -Dcaldrix.usbtree=<dir>. Nothing of it outlives the run: the mounts go with the namespace and
# the tree is removed afterwards.
#
# --watch first, for the device watch's tests (root only; anyone else is told so, status 77): a
# network namespace too, where the test sends kernel-format device events of its own; a /sys/class
# of the tree's with an empty usbmisc folder for USB printers beside the HID entries and the real
# tty class; and a JVM without the capabilities that let root past file modes, so that a node the
# test makes unreadable is one the JVM cannot open, as for any other user.
set -eu

if [ "${1:-}" = --watch-inside ]; then
  # Run by usb_tree.sh, inside the namespaces, once /dev and /sys/class/hidraw are the tree's.
  tree=$2
  shift 2
  mkdir -p "$tree/class/hidraw" "$tree/class/usbmisc" "$tree/class/tty"
  for m in "--bind $tree/hidraw $tree/class/hidraw" "--bind /sys/class/tty $tree/class/tty" \
           "--rbind $tree/class /sys/class"; do
    # shellcheck disable=SC2086
    err=$(mount $m 2>&1) || { echo "$0: mount $m was refused: $err" >&2; exit 1; }
  done
  # devpts's own ptmx is mode 000, which only those capabilities open: the device node instead.
  rm -f "$tree/dev/ptmx"
  mknod -m 666 "$tree/dev/ptmx" c 5 2
  exec setpriv --bounding-set -dac_override,-dac_read_search "$@"
fi

watch=false
if [ "${1:-}" = --watch ]; then
  watch=true
  shift
  if [ "$(id -u)" != 0 ]; then
    echo "$0: the device watch tests need root (a network namespace where they send kernel" \
         "device events as root); skipped" >&2
    exit 77
  fi
fi
[ $# -ge 1 ] || { echo "usage: $0 [--watch] java [arguments...]" >&2; exit 2; }
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
if $watch; then
  unshare_args="$unshare_args --net"
  set -- "$0" --watch-inside "$tree" "$java" "-Dcaldrix.usbtree=$tree" "$@"
else
  set -- "$java" "-Dcaldrix.usbtree=$tree" "$@"
fi
set +e
# shellcheck disable=SC2086
unshare $unshare_args "$(dirname "$0")/../../scripts/usb_tree.sh" "$tree" \
  "$0: a mount in the private namespace was refused; the HID JVM tests cannot run" "$@"
rc=$?
set -e
# usb_tree.sh's 77 is a refused mount, which fails the run; only a missing root skips it.
if $watch && [ $rc -eq 77 ]; then
  rc=1
fi
if [ $rc -ne 0 ] && ! unshare $unshare_args true 2>/dev/null; then
  echo "$0: no private mount namespace here (unshare $unshare_args failed); the HID JVM tests cannot run" >&2
fi
exit $rc
