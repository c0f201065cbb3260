# Windows side after the subsystem libraries: the DLL, its tests, the tools.

# Everything but the exports, so tests can link the Win32 shells directly.
add_library(velmora_impl INTERFACE)
target_link_libraries(velmora_impl INTERFACE velmora_registration)

add_library(velmora SHARED registration/Exports.cpp registration/velmora.def resources/velmora.rc)
set_target_properties(velmora PROPERTIES PREFIX "" OUTPUT_NAME velmora)
set_source_files_properties(resources/velmora.rc PROPERTIES
  OBJECT_DEPENDS "${GEN_DIR}/velmora.tlb;${GEN_DIR}/velmora_version.h;${CMAKE_SOURCE_DIR}/resources/VelmoraApp.rgs;${CMAKE_SOURCE_DIR}/resources/VelmoraCtl.rgs;${CMAKE_SOURCE_DIR}/resources/art/login-background.bmp;${CMAKE_SOURCE_DIR}/resources/art/button-ok.bmp;${CMAKE_SOURCE_DIR}/resources/art/button-cancel.bmp;${CMAKE_SOURCE_DIR}/resources/art/button-workdir.bmp;${CMAKE_SOURCE_DIR}/resources/art/login.ico")
target_link_libraries(velmora PRIVATE velmora_impl)
# The .def names the exports undecorated; let ld match them to the
# stdcall-decorated symbols without a warning for each.
target_link_options(velmora PRIVATE -Wl,--enable-stdcall-fixup -s)

# The development AppServer the control talks to in tests and the demo.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/devappserver ${CMAKE_BINARY_DIR}/devappserver)

include(${CMAKE_SOURCE_DIR}/cmake/wine-tests.cmake)

# The installer packages, after the tests' helpers they use.
add_subdirectory(${CMAKE_SOURCE_DIR}/installer ${CMAKE_BINARY_DIR}/installer)
