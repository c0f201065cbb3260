# Windows side: type library, the DLL, and tests run under Wine.
set(GEN_DIR ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${GEN_DIR})

# One source tree, two products: the i686 DLL for 32-bit hosts and the
# x86_64 DLL for 64-bit ones. Everything that differs by platform is here.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(VELMORA_ARCH x86_64)
  set(VELMORA_WIDL_PLATFORM --win64)
  set(VELMORA_WINE_TLB_DEFAULT /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  set(VELMORA_WINEARCH win64)
  set(VELMORA_WINEARCH_DIR x86_64)
  set(VELMORA_WINE_LOADER_DEFAULT /usr/lib/wine/wine64)
  set(VELMORA_XDISPLAY_DEFAULT 88)
else()
  set(VELMORA_ARCH i686)
  set(VELMORA_WIDL_PLATFORM --win32)
  set(VELMORA_WINE_TLB_DEFAULT /usr/lib/i386-linux-gnu/wine/i386-windows)
  set(VELMORA_WINEARCH win32)
  set(VELMORA_WINEARCH_DIR i386)
  set(VELMORA_WINE_LOADER_DEFAULT /usr/lib/wine/wine)
  set(VELMORA_XDISPLAY_DEFAULT 87)
endif()

find_program(WIDL NAMES ${VELMORA_ARCH}-w64-mingw32-widl widl REQUIRED)
find_program(ICONV iconv REQUIRED)
set(WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "System .idl files")
# Without the 32-bit Wine packages, setup-deps.sh keeps the 32-bit stdole2.tlb
# apart, in /usr/local/share/velmora.
find_path(WINE_TLB_DIR stdole2.tlb
  PATHS ${VELMORA_WINE_TLB_DEFAULT} /usr/local/share/velmora/wine-${VELMORA_WINEARCH_DIR}
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Where stdole2.tlb of this platform lives")
if(NOT WINE_TLB_DIR)
  message(FATAL_ERROR "stdole2.tlb of this platform not found: run scripts/setup-deps.sh")
endif()

# widl stores help strings as the bytes it reads; clients read them with
# code page 936, so it must be given GBK text.
add_custom_command(
  OUTPUT ${GEN_DIR}/velmora_h.h ${GEN_DIR}/velmora_i.c ${GEN_DIR}/velmora.tlb
  COMMAND ${ICONV} -f UTF-8 -t GBK ${CMAKE_SOURCE_DIR}/resources/velmora.idl > ${GEN_DIR}/velmora.gbk.idl
  COMMAND ${WIDL} ${VELMORA_WIDL_PLATFORM} -I${WINE_IDL_DIR} -L${WINE_TLB_DIR}
          -h -H ${GEN_DIR}/velmora_h.h -u -U ${GEN_DIR}/velmora_i.c -t -T ${GEN_DIR}/velmora.tlb
          ${GEN_DIR}/velmora.gbk.idl
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/velmora.idl
  COMMENT "Compiling the type library"
  VERBATIM)
add_custom_target(velmora_idl DEPENDS ${GEN_DIR}/velmora_h.h ${GEN_DIR}/velmora.tlb)

# The version resources take the project version.
configure_file(${CMAKE_SOURCE_DIR}/resources/velmora_version.h.in ${GEN_DIR}/velmora_version.h @ONLY)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 936 -I${GEN_DIR} -I${CMAKE_SOURCE_DIR}/resources")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_compile_options(-Wall -Wextra -Wno-unknown-pragmas -Wno-cast-function-type)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Nothing outside Windows itself may be needed at run time.
add_link_options(-static -static-libgcc -static-libstdc++)
