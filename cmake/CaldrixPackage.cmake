# Packaging, included after the library target:
#   - every native carries the version of the Java classes, which the loader checks before
#     loading it;
#   - CALDRIX_PORTABLE links the Linux library as the jar ships it;
#   - CALDRIX_PACKAGE builds the jar and registers its tests (packaging/CMakeLists.txt).

# CALDRIX_VERSION comes from CaldrixVersion.cmake, included before the library's sources.
set(CALDRIX_VERSION_MARK "CALDRIX_NATIVE_VERSION=${CALDRIX_VERSION}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/version_mark.c.in
               ${CMAKE_BINARY_DIR}/caldrix_version_mark.c @ONLY)
target_sources(caldrix PRIVATE ${CMAKE_BINARY_DIR}/caldrix_version_mark.c)

option(CALDRIX_PORTABLE
       "Linux: link libstdc++ and libgcc statically and ask for no glibc symbol newer than 2.28"
       OFF)
if(CALDRIX_PORTABLE AND NOT WIN32)
  enable_language(ASM)
  set(CALDRIX_GLIBC_MAX GLIBC_2.28)
  set(CALDRIX_GLIBC_COMPAT ${CMAKE_SOURCE_DIR}/packaging/linux/glibc_compat.c)
  set(CALDRIX_PORTABLE_OPTIONS -static-libstdc++ -static-libgcc)
  # Linked once as it would be without pins, to see which glibc symbols it asks for; then every
  # reference newer than CALDRIX_GLIBC_MAX goes to a stub or a replacement (pin_glibc.sh).
  add_library(caldrix_unpinned SHARED EXCLUDE_FROM_ALL
    $<TARGET_OBJECTS:caldrix_core> src/platform/posix/dll_entry.cpp
    ${CMAKE_BINARY_DIR}/caldrix_version_mark.c ${CALDRIX_GLIBC_COMPAT})
  target_include_directories(caldrix_unpinned PRIVATE ${CALDRIX_JNI_INCLUDES}
                                                      ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(caldrix_unpinned PRIVATE Threads::Threads)
  target_link_options(caldrix_unpinned PRIVATE ${CALDRIX_PORTABLE_OPTIONS})
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libc.so.6
                  OUTPUT_VARIABLE CALDRIX_LIBC OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(pins ${CMAKE_BINARY_DIR}/glibc_pins.S)
  set(wraps ${CMAKE_BINARY_DIR}/glibc_wraps.rsp)
  add_custom_command(
    OUTPUT ${pins} ${wraps}
    COMMAND ${CMAKE_SOURCE_DIR}/packaging/linux/pin_glibc.sh ${CMAKE_OBJDUMP}
            ${CMAKE_SYSTEM_PROCESSOR} $<TARGET_FILE:caldrix_unpinned> ${CALDRIX_LIBC}
            ${CALDRIX_GLIBC_MAX} ${CALDRIX_GLIBC_COMPAT} ${pins} ${wraps}
    DEPENDS caldrix_unpinned ${CALDRIX_GLIBC_COMPAT}
            ${CMAKE_SOURCE_DIR}/packaging/linux/pin_glibc.sh
    COMMENT "Pinning the native to ${CALDRIX_GLIBC_MAX} symbols"
    VERBATIM)
  target_sources(caldrix PRIVATE ${CALDRIX_GLIBC_COMPAT} ${pins})
  target_link_options(caldrix PRIVATE ${CALDRIX_PORTABLE_OPTIONS} @${wraps})
  set_property(TARGET caldrix APPEND PROPERTY LINK_DEPENDS ${wraps})

  # Checks of the pinned native that run on its own architecture (the ARM ones under qemu-user):
  # the hand-written replacements against the real functions, and a load that binds every
  # symbol, so that each pin is seen to name a version the C library has.
  add_executable(caldrix_glibc_compat_test EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/packaging/linux/glibc_compat_test.c ${CALDRIX_GLIBC_COMPAT})
  target_link_libraries(caldrix_glibc_compat_test PRIVATE Threads::Threads)
  add_executable(caldrix_load_native EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/packaging/linux/load_native.c)
  target_link_libraries(caldrix_load_native PRIVATE ${CMAKE_DL_LIBS})
endif()

option(CALDRIX_PACKAGE "Build caldrix.jar and its tests" OFF)
if(CALDRIX_PACKAGE AND NOT WIN32)
  enable_testing()
  add_subdirectory(${CMAKE_SOURCE_DIR}/packaging ${CMAKE_BINARY_DIR}/packaging)
endif()
