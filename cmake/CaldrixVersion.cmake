# The version is written once, in the Java loader.
set(CALDRIX_VERSION_SOURCE ${CMAKE_SOURCE_DIR}/java/com/vorant/jpos/tavrolink/CaldrixLoader.java)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CALDRIX_VERSION_SOURCE})
file(STRINGS ${CALDRIX_VERSION_SOURCE} CALDRIX_VERSION_LINE REGEX "String VERSION = \"")
string(REGEX REPLACE ".*\"([^\"]*)\".*" "\\1" CALDRIX_VERSION "${CALDRIX_VERSION_LINE}")
if(NOT CALDRIX_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "No version found in ${CALDRIX_VERSION_SOURCE}")
endif()
