# Host build: the portable core under AddressSanitizer and UBSan, its tests,
# the fuzz target and the reference message server (a Linux program).
option(VELMORA_SANITIZE "Build the host side with ASan and UBSan" ON)
if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

# Debian ships GoogleTest as sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
