# Checks that each native in caldrix.jar is, byte for byte, the file it was made from (the
# Windows DLLs are those the Wine harness tests), and that the checksum beside it is its own.
#
#   cmake -DJAR=caldrix.jar -DNATIVES="platform=file|..." -DWORK=dir -P check_jar_natives.cmake
file(REMOVE_RECURSE ${WORK})
file(ARCHIVE_EXTRACT INPUT ${JAR} DESTINATION ${WORK})
string(REPLACE "|" ";" NATIVES "${NATIVES}")
set(failed 0)
foreach(pair IN LISTS NATIVES)
  string(REGEX MATCH "^([^=]+)=(.+)$" _ "${pair}")
  set(platform ${CMAKE_MATCH_1})
  set(file ${CMAKE_MATCH_2})
  get_filename_component(name ${file} NAME)
  set(entry com/vorant/jpos/tavrolink/native/${platform}/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/${entry} ${file}
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(SEND_ERROR "${entry} in the jar is not ${file}: the native was built again after "
                       "the jar was made")
    set(failed 1)
    continue()
  endif()
  file(SHA256 ${file} sum)
  file(READ ${WORK}/${entry}.sha256 beside)
  if(NOT beside STREQUAL "${sum}  ${name}\n")
    message(SEND_ERROR "${entry}.sha256 is not the file's checksum ${sum}")
    set(failed 1)
    continue()
  endif()
  message(STATUS "${entry}: the same bytes as ${file}, SHA-256 ${sum}")
endforeach()
