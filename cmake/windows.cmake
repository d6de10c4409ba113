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

if(RX_BUILD_TESTS AND CMAKE_CROSSCOMPILING AND RX_WINE)
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
# wine may end a program that crashed with status 0: its crash report
# fails the test too.
set(RX_WINE_FAILURES "Unhandled exception|Unhandled page fault|\\[  FAILED  \\]")
function(rx_add_gtest target)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES TIMEOUT 300 FAIL_REGULAR_EXPRESSION "${RX_WINE_FAILURES}"
                       ${ARGN})
endfunction()

# The folders of the compiler's runtime DLLs (libstdc++, libgcc_s,
# winpthread), which Qt's DLLs need; our own programs link them in.
function(rx_mingw_runtime_dlls out_dlls)
  set(dlls)
  foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                    OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(file "${file}" REALPATH)
    list(APPEND dlls "${file}")
  endforeach()
  set(${out_dlls} "${dlls}" PARENT_SCOPE)
endfunction()

# Qt's DLLs, its platform, style and image plugins and the runtime DLLs they need,
# copied beside the programs once at configure time: there Windows (and
# wine) finds them without a PATH, for the tests and for the package.
function(rx_deploy_qt)
  rx_mingw_runtime_dlls(runtime)
  set(bin ${CMAKE_BINARY_DIR}/bin)
  foreach(module Core Gui Widgets Network Test)
    list(APPEND dlls ${QT6_INSTALL_PREFIX}/bin/Qt6${module}.dll)
  endforeach()
  file(COPY ${dlls} ${runtime} DESTINATION ${bin})
  file(COPY ${QT6_INSTALL_PREFIX}/plugins/platforms ${QT6_INSTALL_PREFIX}/plugins/styles
            ${QT6_INSTALL_PREFIX}/plugins/imageformats
       DESTINATION ${bin})
endfunction()

# Qt's variables for a program under wine, which passes them to a Windows
# program only as WINEQT_*: offscreen, with a font folder so that text has
# a size, and QtTest printing to the console.
set(RX_WINE_QT_ENV
    "WINEQT_QPA_PLATFORM=offscreen"
    "WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/dejavu"
    "WINEQT_FORCE_STDERR_LOGGING=1")

# Programs and DLLs side by side, where Windows (and wine) look for a DLL.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
