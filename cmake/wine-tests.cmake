# Tests of the Windows side run under Wine, in a private prefix of the
# build's platform in the build tree, with an Xvfb display for the windows
# they open.
set(VELMORA_XDISPLAY ${VELMORA_XDISPLAY_DEFAULT} CACHE STRING "X display number of the test Xvfb")
# Debian's wine wrapper takes the 32-bit loader whenever wine32 is
# installed, so each build names its loader; wine-env.sh puts it first on
# PATH as `wine` (and `wine-stable`, which wineboot, winepath and regsvr32 call).
set(VELMORA_WINE_LOADER ${VELMORA_WINE_LOADER_DEFAULT} CACHE FILEPATH "Wine loader for this platform")
set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wine/prefix)
foreach(name wine wine-stable)
  configure_file(${CMAKE_SOURCE_DIR}/tests/wine/loader.sh.in ${CMAKE_BINARY_DIR}/wine/bin/${name} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/wine-env.sh.in ${CMAKE_BINARY_DIR}/wine-env.sh @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/tests/wine/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# Where 32-bit programs run under emulation everything takes longer: every
# test's bound in the directories below grows by this factor (the tests
# themselves stay the same). scripts/test.sh sets it.
set(VELMORA_TIMEOUT_SCALE 1 CACHE STRING "Factor applied to every Wine test's TIMEOUT")
function(velmora_scale_timeouts)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} TIMEOUT seconds)
    if(seconds)
      math(EXPR seconds "${seconds} * ${VELMORA_TIMEOUT_SCALE}")
      set_tests_properties(${test} PROPERTIES TIMEOUT ${seconds})
    endif()
  endforeach()
endfunction()
# Scales the current directory's tests once all of them are defined.
function(velmora_scale_timeouts_here)
  get_property(done DIRECTORY PROPERTY VELMORA_TIMEOUTS_SCALED)
  if(NOT done)
    set_property(DIRECTORY PROPERTY VELMORA_TIMEOUTS_SCALED TRUE)
    cmake_language(DEFER CALL velmora_scale_timeouts)
  endif()
endfunction()
velmora_scale_timeouts_here()

add_test(NAME wine_setup COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/setup-prefix.sh ${CMAKE_BINARY_DIR}/wine-env.sh)
set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
add_test(NAME wine_teardown COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/teardown-prefix.sh ${CMAKE_BINARY_DIR}/wine-env.sh)
set_tests_properties(wine_teardown PROPERTIES FIXTURES_CLEANUP wine)

# GoogleTest from Debian's sources, cross-built.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# velmora_wine_test(NAME sources...): a GoogleTest program run under Wine.
function(velmora_wine_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE velmora_impl gtest gmock)
  add_dependencies(${name} velmora)
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
  velmora_scale_timeouts_here()
endfunction()

# velmora_wine_script(NAME script args...): a shell test that drives Wine.
function(velmora_wine_script name script)
  add_test(NAME ${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR}/wine-env.sh ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
  velmora_scale_timeouts_here()
endfunction()

# The reference message server is a Linux program: built with the host
# compiler beside the cross build, for the tests and the benchmark.
include(${CMAKE_SOURCE_DIR}/cmake/host-tools.cmake OPTIONAL)

add_subdirectory(${CMAKE_SOURCE_DIR}/tests/win ${CMAKE_BINARY_DIR}/tests-win)
add_subdirectory(${CMAKE_SOURCE_DIR}/bench ${CMAKE_BINARY_DIR}/bench)
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/uidriver ${CMAKE_BINARY_DIR}/uidriver)
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/uidriver ${CMAKE_BINARY_DIR}/tests-uidriver)
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/workdir ${CMAKE_BINARY_DIR}/tests-workdir)
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/login ${CMAKE_BINARY_DIR}/tests-login)
