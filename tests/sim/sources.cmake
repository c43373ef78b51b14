# The simulated device provider, compiled into the test programs only: the core and one file per
# kind of device. The kinds register themselves during static initialisation, so they are listed
# as sources of each program rather than archived in a library the linker could leave out.
set(CALDRIX_SIM_SOURCES
  ${CMAKE_SOURCE_DIR}/tests/sim/core.cpp
  ${CMAKE_SOURCE_DIR}/tests/sim/serial.cpp
  ${CMAKE_SOURCE_DIR}/tests/sim/hid.cpp
  ${CMAKE_SOURCE_DIR}/tests/sim/adapters.cpp
  ${CMAKE_SOURCE_DIR}/tests/sim/process.cpp)
