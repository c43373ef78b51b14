# Lays caldrix.jar out as a Maven repository: the jar, its POM, a sources jar and a javadoc jar
# under com/vorant/jpos/caldrix/<version>/, each with the checksums a repository serves, and the
# artifact's maven-metadata.xml. A build points a <repository> at the folder, or copies its tree
# into a local repository.
#
#   cmake -DJAR=caldrix.jar -DVERSION=x.y.z -DSOURCES=java-dir -DLICENSE=file -DOUT=repo-dir
#         -DSTAGE=dir -DJAR_TOOL=jar -DJAVADOC=javadoc -P maven_repo.cmake
foreach(v JAR VERSION SOURCES LICENSE OUT STAGE JAR_TOOL JAVADOC)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "maven_repo.cmake: ${v} is not set")
  endif()
endforeach()

set(artifact_dir ${OUT}/com/vorant/jpos/caldrix)
set(dir ${artifact_dir}/${VERSION})
set(base ${dir}/caldrix-${VERSION})
file(REMOVE_RECURSE ${STAGE} ${artifact_dir})
file(MAKE_DIRECTORY ${dir} ${STAGE}/sources/META-INF ${STAGE}/javadoc/META-INF)

file(COPY_FILE ${JAR} ${base}.jar)
file(WRITE ${base}.pom
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<project xmlns=\"http://maven.apache.org/POM/4.0.0\"
         xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"
         xsi:schemaLocation=\"http://maven.apache.org/POM/4.0.0
                             http://maven.apache.org/xsd/maven-4.0.0.xsd\">
  <modelVersion>4.0.0</modelVersion>
  <groupId>com.vorant.jpos</groupId>
  <artifactId>caldrix</artifactId>
  <version>${VERSION}</version>
  <packaging>jar</packaging>
  <name>caldrix</name>
  <description>Serial ports and USB HID devices for Java point-of-sale device services: the JNI
    classes, a port object with streams, and the natives for Windows and Linux.</description>
  <licenses>
    <license>
      <name>Apache License, Version 2.0</name>
      <url>https://www.apache.org/licenses/LICENSE-2.0.txt</url>
      <distribution>repo</distribution>
    </license>
  </licenses>
</project>
")

# Entries get a fixed time, as in caldrix.jar, so the same inputs make the same jars.
function(make_jar out content)
  execute_process(COMMAND ${JAR_TOOL} --create --file ${out} --no-manifest
                          --date=2000-01-01T00:00:02Z -C ${content} .
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "maven_repo.cmake: jar failed for ${out} (${rc})")
  endif()
endfunction()

file(COPY ${SOURCES}/ DESTINATION ${STAGE}/sources FILES_MATCHING PATTERN "*.java")
file(COPY_FILE ${LICENSE} ${STAGE}/sources/META-INF/LICENSE)
make_jar(${base}-sources.jar ${STAGE}/sources)

# The port package's documentation is complete (every check on, warnings fail); the fixed
# classes' documentation is what their comments give.
file(GLOB_RECURSE sources ${SOURCES}/*.java)
set(doc_common --release 8 -encoding UTF-8 -quiet -notimestamp -sourcepath ${SOURCES})
execute_process(COMMAND ${JAVADOC} ${doc_common} -Xdoclint:all -Werror -d ${STAGE}/doc-check
                        com.vorant.jpos.tavrolink.port
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "maven_repo.cmake: the port package's documentation is incomplete")
endif()
execute_process(COMMAND ${JAVADOC} ${doc_common} -Xdoclint:all,-missing -d ${STAGE}/javadoc
                        -doctitle "caldrix ${VERSION}" -windowtitle "caldrix ${VERSION}"
                        com.vorant.jpos.tavrolink com.vorant.jpos.tavrolink.port
                        tellspan.devices.tavrolink
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "maven_repo.cmake: javadoc failed (${rc})")
endif()
file(COPY_FILE ${LICENSE} ${STAGE}/javadoc/META-INF/LICENSE)
make_jar(${base}-javadoc.jar ${STAGE}/javadoc)

file(WRITE ${artifact_dir}/maven-metadata.xml
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<metadata>
  <groupId>com.vorant.jpos</groupId>
  <artifactId>caldrix</artifactId>
  <versioning>
    <latest>${VERSION}</latest>
    <release>${VERSION}</release>
    <versions>
      <version>${VERSION}</version>
    </versions>
    <lastUpdated>20000101000002</lastUpdated>
  </versioning>
</metadata>
")

foreach(f ${base}.jar ${base}.pom ${base}-sources.jar ${base}-javadoc.jar
          ${artifact_dir}/maven-metadata.xml)
  foreach(algorithm MD5 SHA1 SHA256 SHA512)
    file(${algorithm} ${f} sum)
    string(TOLOWER ${algorithm} ext)
    file(WRITE ${f}.${ext} "${sum}")
  endforeach()
endforeach()
