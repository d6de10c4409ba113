# What the Windows build needs besides the toolchain: GoogleTest built from
# Debian's source with the cross compiler, and the wine prefix the tests run
# in, made once per build folder (wineboot takes a while; ctest -j must not
# race to make it).
if(RX_BUILD_TESTS)
  enable_testing()
  set(RX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source to build for Windows")
  if(NOT EXISTS ${RX_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest source not found in ${RX_GTEST_SOURCE} (Debian: googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${RX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

if(CMAKE_CROSSCOMPILING AND RX_WINE)
  set(RX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(NOT EXISTS ${RX_WINEPREFIX}/system.reg)
    message(STATUS "Making the wine prefix ${RX_WINEPREFIX}")
    execute_process(
      COMMAND env WINEPREFIX=${RX_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
              DISPLAY= ${RX_WINE} wineboot -i
      RESULT_VARIABLE rx_wineboot OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND env WINEPREFIX=${RX_WINEPREFIX} wineserver -w)
    if(NOT EXISTS ${RX_WINEPREFIX}/system.reg)
      message(FATAL_ERROR "wineboot could not make ${RX_WINEPREFIX} (${rx_wineboot})")
    endif()
  endif()
endif()

# On Windows each test program is one ctest test: every wine start costs
# time, so the cases are not listed one by one.
function(rx_add_gtest target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT 300 ${ARGN})
endfunction()

# Programs and DLLs side by side, where Windows (and wine) look for a DLL.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
