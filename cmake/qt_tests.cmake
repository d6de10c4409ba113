# The program's test programs: on Linux each case is a ctest test of its
# own; on Windows each program is one test run by wine, offscreen.
# rx_qt_tests(target [ENVIRONMENT var=value...] [PROPERTIES name value...]
#             [WINE_EXCLUDE case...]): the cases wine cannot run are left out
#             there (each named with its reason in docs/windows.md).
# The drive under which a cross-built test finds the build's files (wine
# maps the Linux root as Z:).
set(RX_TEST_DRIVE "")
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(RX_TEST_DRIVE "Z:")
endif()

function(rx_qt_tests target)
  cmake_parse_arguments(arg "" "" "ENVIRONMENT;PROPERTIES;WINE_EXCLUDE" ${ARGN})
  if(WIN32)
    set(env ${RX_WINE_QT_ENV})
    foreach(var IN LISTS arg_ENVIRONMENT)
      string(REGEX REPLACE "^QT_" "WINEQT_" var "${var}")
      list(APPEND env "${var}")
    endforeach()
    set(filter)
    if(arg_WINE_EXCLUDE AND RX_WINE)
      list(JOIN arg_WINE_EXCLUDE ":" excluded)
      set(filter "--gtest_filter=-${excluded}")
    endif()
    add_test(NAME ${target} COMMAND ${target} ${filter})
    set_tests_properties(${target} PROPERTIES TIMEOUT 300 ENVIRONMENT "${env}"
                         FAIL_REGULAR_EXPRESSION "${RX_WINE_FAILURES}" ${arg_PROPERTIES})
  else()
    set(props)
    if(arg_ENVIRONMENT)
      set(props ENVIRONMENT "${arg_ENVIRONMENT}")
    endif()
    if(props OR arg_PROPERTIES)
      list(PREPEND props PROPERTIES)
    endif()
    gtest_discover_tests(${target} NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 ${arg_UNPARSED_ARGUMENTS}
                         ${props} ${arg_PROPERTIES})
  endif()
endfunction()
