# Linux programs the cross build needs, built with the host compiler as a
# separate CMake project of this same source tree: the reference message
# server for the tests and the generator of the installer packages' registry
# entries. Sanitizers and the fuzz probe are off so the extra configure and
# build stay short.
include(ExternalProject)

find_program(VELMORA_HOST_CC NAMES cc gcc clang REQUIRED)
find_program(VELMORA_HOST_CXX NAMES c++ g++ clang++ REQUIRED)

set(VELMORA_HOST_BUILD_DIR ${CMAKE_BINARY_DIR}/host-tools)
set(VELMORA_MSGSERVER_EXE ${VELMORA_HOST_BUILD_DIR}/tools/msgserver/velmora-msgserver)
set(VELMORA_PKGREG_EXE ${VELMORA_HOST_BUILD_DIR}/tools/pkgreg/velmora-pkgreg)

# The environment of the outer build may name the cross toolchain
# (CMAKE_TOOLCHAIN_FILE, CC, CXX and flags); the host configure must not see it.
set(host_env ${CMAKE_COMMAND} -E env
  --unset=CMAKE_TOOLCHAIN_FILE --unset=CC --unset=CXX
  --unset=CFLAGS --unset=CXXFLAGS --unset=LDFLAGS)

ExternalProject_Add(velmora_host_msgserver
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${VELMORA_HOST_BUILD_DIR}
  CONFIGURE_COMMAND ${host_env} ${CMAKE_COMMAND}
    -S ${CMAKE_SOURCE_DIR} -B ${VELMORA_HOST_BUILD_DIR}
    -G ${CMAKE_GENERATOR}
    -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
    -DCMAKE_C_COMPILER=${VELMORA_HOST_CC}
    -DCMAKE_CXX_COMPILER=${VELMORA_HOST_CXX}
    -DCMAKE_BUILD_TYPE=Release
    -DVELMORA_SANITIZE=OFF
    -DVELMORA_FUZZ=OFF
  BUILD_COMMAND ${host_env} ${CMAKE_COMMAND} --build ${VELMORA_HOST_BUILD_DIR} --target velmora-msgserver velmora_lock_bench_host
    velmora_record_sender_host velmora-pkgreg
  INSTALL_COMMAND ""
  # The server's sources live in this tree: let the inner build decide
  # whether anything changed.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${VELMORA_MSGSERVER_EXE} ${VELMORA_PKGREG_EXE}
  USES_TERMINAL_CONFIGURE OFF
  USES_TERMINAL_BUILD OFF)
