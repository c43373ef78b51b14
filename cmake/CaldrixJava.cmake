# Compiling Java for the demonstration, the benchmark and the JNI integration tests: the
# library's own classes under java/ together with a directory's extra sources.
find_package(Java 17 COMPONENTS Runtime Development)

# caldrix_java_classes(<target> SOURCES <files...> [CLASSPATH <path>] [COMMENT <text>])
# Compiles into ${CMAKE_CURRENT_BINARY_DIR}/classes, as <target>, built with `all`.
function(caldrix_java_classes target)
  cmake_parse_arguments(J "" "CLASSPATH;COMMENT" "SOURCES" ${ARGN})
  file(GLOB_RECURSE library_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/*.java)
  set(classes ${CMAKE_CURRENT_BINARY_DIR}/classes)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/classes.stamp)
  set(classpath)
  if(J_CLASSPATH)
    set(classpath -cp ${J_CLASSPATH})
  endif()
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${classes}
    COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -encoding UTF-8 ${classpath}
            -d ${classes} ${library_sources} ${J_SOURCES}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${library_sources} ${J_SOURCES}
    COMMENT "${J_COMMENT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${stamp})
endfunction()
