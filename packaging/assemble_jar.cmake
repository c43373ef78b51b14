# Puts caldrix.jar together: the Java classes, each native under native/<platform>/ beside its
# SHA-256, an index of the platforms, and the version in the manifest.
#
#   cmake -DJAR=out.jar -DCLASSES=dir -DSTAGE=dir -DVERSION=x.y.z -DJAR_TOOL=jar
#         -DNATIVES="platform=file|platform=file..." [-DTOOLS="platform=file|..."]
#         [-DMAIN_CLASS=name] -P assemble_jar.cmake
foreach(v JAR CLASSES STAGE VERSION JAR_TOOL NATIVES)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "assemble_jar.cmake: ${v} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/content)
file(COPY ${CLASSES}/ DESTINATION ${STAGE}/content)

# Beside the classes of com.vorant.jpos.tavrolink, where the loader looks them up.
set(native_root ${STAGE}/content/com/vorant/jpos/tavrolink/native)
string(REPLACE "|" ";" NATIVES "${NATIVES}")
set(platforms)
foreach(pair IN LISTS NATIVES)
  if(NOT pair MATCHES "^([a-z]+)-([a-z0-9_]+)=(.+)$")
    message(FATAL_ERROR "assemble_jar.cmake: '${pair}' is not platform=file")
  endif()
  set(platform ${CMAKE_MATCH_1}-${CMAKE_MATCH_2})
  set(os ${CMAKE_MATCH_1})
  set(file ${CMAKE_MATCH_3})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "assemble_jar.cmake: the ${platform} native ${file} does not exist")
  endif()
  # The loader asks for the name a JVM on that system maps "caldrix" to.
  get_filename_component(name ${file} NAME)
  if(os STREQUAL "windows")
    set(expected caldrix.dll)
  else()
    set(expected libcaldrix.so)
  endif()
  if(NOT name STREQUAL expected)
    message(FATAL_ERROR "assemble_jar.cmake: the ${platform} native must be ${expected}, not ${name}")
  endif()
  file(MAKE_DIRECTORY ${native_root}/${platform})
  file(COPY ${file} DESTINATION ${native_root}/${platform})
  file(SHA256 ${file} sum)
  file(WRITE ${native_root}/${platform}/${name}.sha256 "${sum}  ${name}\n")
  list(APPEND platforms ${platform})
endforeach()
# caldrix-ports beside the native of its platform, with its checksum (optional: TOOLS).
string(REPLACE "|" ";" TOOLS "${TOOLS}")
foreach(pair IN LISTS TOOLS)
  if(NOT pair MATCHES "^([a-z]+)-([a-z0-9_]+)=(.+)$")
    message(FATAL_ERROR "assemble_jar.cmake: '${pair}' is not platform=file")
  endif()
  set(platform ${CMAKE_MATCH_1}-${CMAKE_MATCH_2})
  set(file ${CMAKE_MATCH_3})
  get_filename_component(name ${file} NAME)
  list(FIND platforms ${platform} known)
  if(known EQUAL -1 OR NOT name MATCHES "^caldrix-ports(\\.exe)?$")
    message(FATAL_ERROR "assemble_jar.cmake: ${file} is not a caldrix-ports for a native's platform")
  endif()
  file(COPY ${file} DESTINATION ${native_root}/${platform})
  file(SHA256 ${file} sum)
  file(WRITE ${native_root}/${platform}/${name}.sha256 "${sum}  ${name}\n")
endforeach()
list(SORT platforms)
list(JOIN platforms " " platforms)
file(WRITE ${native_root}/natives.properties "version=${VERSION}\nplatforms=${platforms}\n")

set(manifest "Implementation-Title: caldrix\nImplementation-Version: ${VERSION}\n")
string(APPEND manifest "Caldrix-Natives: ${platforms}\n")
if(MAIN_CLASS)
  string(APPEND manifest "Main-Class: ${MAIN_CLASS}\n")
endif()
file(WRITE ${STAGE}/manifest.txt "${manifest}")

# Entries get a fixed time, so the same inputs make the same jar.
execute_process(
  COMMAND ${JAR_TOOL} --create --file ${JAR}.part --manifest ${STAGE}/manifest.txt
          --date=2000-01-01T00:00:02Z -C ${STAGE}/content .
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "assemble_jar.cmake: jar failed (${rc})")
endif()
file(RENAME ${JAR}.part ${JAR})
