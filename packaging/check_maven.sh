#!/bin/bash
# Builds and runs a small Maven project that depends on caldrix from the Maven form of the jar,
# offline: the build's plugins come from Debian's Maven repository (/usr/share/maven-repo), caldrix
# from REPO, with its checksums enforced; the local repository is a fresh folder under WORK.
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
for p in mvn /usr/share/maven-repo/org/apache/maven/plugins/maven-compiler-plugin/3.10.1 \
         /usr/share/maven-repo/org/apache/maven/plugins/maven-resources-plugin/3.3.0; do
    if ! command -v "$p" >/dev/null && [ ! -e "$p" ]; then
        echo "$0: $p is missing (Debian: maven, libmaven-compiler-plugin-java," \
             "libmaven-resources-plugin-java)" >&2
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

cat > "$work/settings.xml" <<XML
<settings>
  <localRepository>$work/local</localRepository>
  <offline>true</offline>
  <profiles><profile><id>repos</id>
    <repositories>
      <repository><id>caldrix</id><url>file://$repo</url>
        <releases><checksumPolicy>fail</checksumPolicy></releases></repository>
    </repositories>
    <pluginRepositories>
      <pluginRepository><id>debian</id><url>file:///usr/share/maven-repo</url>
        <releases><checksumPolicy>ignore</checksumPolicy></releases></pluginRepository>
    </pluginRepositories>
  </profile></profiles>
  <activeProfiles><activeProfile>repos</activeProfile></activeProfiles>
</settings>
XML

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
  <dependencies>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version></dependency>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version><classifier>sources</classifier></dependency>
    <dependency><groupId>com.vorant.jpos</groupId><artifactId>caldrix</artifactId>
      <version>$version</version><classifier>javadoc</classifier></dependency>
  </dependencies>
  <build><plugins>
    <plugin><groupId>org.apache.maven.plugins</groupId>
      <artifactId>maven-resources-plugin</artifactId><version>3.3.0</version></plugin>
    <plugin><groupId>org.apache.maven.plugins</groupId>
      <artifactId>maven-compiler-plugin</artifactId><version>3.10.1</version></plugin>
  </plugins></build>
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
            System.out.println("not found: " + e.getMessage());
        }
    }
}
JAVA

# Offline also keeps Maven from the file: repositories unless file is allowed.
(cd "$work/app" && mvn -o -B -q -Dstyle.color=never -s "$work/settings.xml" -Daether.offline.protocols=file compile)

got=$work/local/com/vorant/jpos/caldrix/$version
for f in caldrix-$version.jar caldrix-$version-sources.jar caldrix-$version-javadoc.jar; do
    cmp "$dir/$f" "$got/$f"
done
out=$(java -Dcaldrix.cache="$work/cache" -cp "$work/app/target/classes:$got/caldrix-$version.jar" \
      demo.Main | grep -v '^ caldrix: on_library_load')
expected="listing of caldrix $version
not found: CreateFile error 2 on port"
if [ "$out" != "$expected" ]; then
    printf 'the Maven project printed:\n%s\nexpected:\n%s\n' "$out" "$expected" >&2
    exit 1
fi
echo "caldrix $version from $repo: built and ran a Maven project against it"
