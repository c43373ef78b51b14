#!/bin/bash
# Runs the jar's Linux native on Debian 11 (bullseye, glibc 2.31) with that release's own JVM, in a
# chroot: the library is loaded with every symbol bound at once (LD_BIND_NOW), then a port opened
# on a pseudo-terminal whose far end echoes is written, counted and read.
#
#   check_bullseye.sh JAR [ROOT]
#
# ROOT (default /var/tmp/caldrix-bullseye) is made with debootstrap when it has no java yet, which
# takes minutes and the network; that is why make test does not run this. Needs root and socat.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 JAR [ROOT]" >&2
    exit 2
fi
jar=$(realpath "$1")
root=${2:-/var/tmp/caldrix-bullseye}

if [ ! -x "$root/usr/bin/java" ]; then
    debootstrap --variant=minbase --include=openjdk-11-jre-headless bullseye "$root" \
        http://deb.debian.org/debian
fi

work=$(mktemp -d "$root/tmp/caldrix.XXXXXX")
inside=${work#"$root"}
socat_pid=""
cleanup() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null || true
    umount "$root/dev/pts" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mount -t proc proc "$root/proc"
mount --bind /dev/pts "$root/dev/pts"

cp "$jar" "$work/caldrix.jar"
cat >"$work/OnBullseye.java" <<'JAVA'
import com.vorant.jpos.tavrolink.caldrix;
import java.nio.charset.StandardCharsets;

public class OnBullseye {
    public static void main(String[] args) throws Exception {
        int h = caldrix.PortOpen(args[0]);
        byte[] ping = "ping".getBytes(StandardCharsets.US_ASCII);
        caldrix.PortWrite(h, ping, ping.length);
        long deadline = System.nanoTime() + 5_000_000_000L;
        while (caldrix.PortGetReadCount(h) < 4 && System.nanoTime() < deadline) {
            Thread.sleep(1);
        }
        byte[] got = new byte[4];
        int n = caldrix.PortRead(h, got, 4);
        caldrix.PortClose(h);
        String answer = new String(got, 0, Math.max(n, 0), StandardCharsets.US_ASCII);
        System.out.println("java " + System.getProperty("java.version") + ": echoed \""
                + answer + "\"");
        System.exit(answer.equals("ping") ? 0 : 1);
    }
}
JAVA
javac --release 8 -cp "$jar" -d "$work" "$work/OnBullseye.java"

# The far end of the port echoes what it gets.
socat "pty,link=$work/port,raw,echo=0" "exec:cat" &
socat_pid=$!
for _ in $(seq 100); do [ -e "$work/port" ] && break; sleep 0.05; done
port=$(readlink "$work/port")

echo "== $(chroot "$root" ldd --version | head -n1)"
chroot "$root" /usr/bin/env LD_BIND_NOW=1 java -Dcaldrix.cache="$inside/cache" \
    -cp "$inside/caldrix.jar:$inside" OnBullseye "$port"
echo "== loaded from $(cd "$work/cache" && ls -d */*)"
