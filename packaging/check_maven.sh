#!/bin/bash
# Builds and runs a small Maven project that depends on caldrix from the Maven form of the jar,
# offline, with packaging/maven-offline-settings.xml, the settings the README gives: the build's
# plugins come from Debian's Maven repository (/usr/share/maven-repo), caldrix from REPO through
# the project's own repository entry, with its checksums enforced; the local repository is a
# fresh folder under WORK. The project names no plugin versions, as a newcomer's would not.
#
#   check_maven.sh REPO VERSION WORK
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 REPO VERSION WORK" >&2
    exit 2
fi
repo=$(realpath "$1")
version=$2
work=$(realpath -m "$3")
settings=$(realpath "$(dirname "$0")/maven-offline-settings.xml")
plugins=/usr/share/maven-repo/org/apache/maven/plugins
for p in mvn $plugins/maven-resources-plugin $plugins/maven-compiler-plugin \
         $plugins/maven-surefire-plugin $plugins/maven-jar-plugin; do
    if ! command -v "$p" >/dev/null && [ ! -e "$p" ]; then
        echo "$0: $p is missing (Debian: maven, libmaven-resources-plugin-java," \
             "libmaven-compiler-plugin-java, libsurefire-java, libmaven-jar-plugin-java)" >&2
        exit 1
    fi
done

rm -rf "$work"
mkdir -p "$work/app/src/main/java/demo" "$work/local"
dir=$repo/com/vorant/jpos/caldrix/$version
pom=$dir/caldrix-$version.pom
if ! grep -q '<name>Apache License, Version 2.0</name>' "$pom"; then
    echo "$pom names no licence" >&2
    exit 1
fi
if grep -q '<dependencies>' "$pom"; then echo "$pom has dependencies" >&2; exit 1; fi

# The sources and javadoc jars as dependencies too, so that Maven fetches and checks them.
cat > "$work/app/pom.xml" <<XML
<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>demo</groupId>
  <artifactId>demo</artifactId>
  <version>1</version>
  <properties>
    <maven.compiler.release>8</maven.compiler.release>
    <project.build.sourceEncoding>UTF-8</project.build.sourceEncoding>
  </properties>
  <repositories>
    <repository><id>caldrix</id><url>file://$repo</url>
      <releases><checksumPolicy>fail</checksumPolicy></releases></repository>
  </repositories>
  <dependencies>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version></dependency>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version><classifier>sources</classifier></dependency>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version><classifier>javadoc</classifier></dependency>
  </dependencies>
</project>
XML

cat > "$work/app/src/main/java/demo/Main.java" <<'JAVA'
package demo;

import com.vorant.jpos.tavrolink.port.CaldrixPort;
import com.vorant.jpos.tavrolink.port.PortListing;
import com.vorant.jpos.tavrolink.port.PortNotFoundException;

public class Main {
    public static void main(String[] args) throws Exception {
        System.out.println("listing of caldrix " + PortListing.scan().version());
        try (CaldrixPort port = CaldrixPort.open("/dev/caldrix-no-such-port")) {
            System.out.println("opened " + port);
        } catch (PortNotFoundException e) {
            // The message also lists this machine's ports; the cause's is the library's alone.
            System.out.println("not found: " + e.getCause().getMessage());
        }
    }
}
JAVA

(cd "$work/app" && mvn -o -B -q -Dstyle.color=never -s "$settings" -Dmaven.repo.local="$work/local" \
    package)

got=$work/local/com/vorant/jpos/caldrix/$version
for f in caldrix-$version.jar caldrix-$version-sources.jar caldrix-$version-javadoc.jar; do
    cmp "$dir/$f" "$got/$f"
done
out=$(java -Dcaldrix.cache="$work/cache" -cp "$work/app/target/demo-1.jar:$got/caldrix-$version.jar" \
      demo.Main | grep -v '^ caldrix: on_library_load')
expected="listing of caldrix $version
not found: CreateFile error 2 on port"
if [ "$out" != "$expected" ]; then
    printf 'the Maven project printed:\n%s\nexpected:\n%s\n' "$out" "$expected" >&2
    exit 1
fi
echo "caldrix $version from $repo: built and ran a Maven project against it"
