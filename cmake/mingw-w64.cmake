# Cross toolchain for Windows (x86_64, posix threads, so that std::thread and
# std::mutex work) with Debian's mingw-w64. Tests run under wine through
# ctest; each build folder gets its own wine prefix (made at configure time).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RX_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${RX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RX_MINGW_TRIPLE})
# Every CMAKE_PREFIX_PATH entry (Qt for Windows) is a target root too, or
# find_package(Qt6) would look for it under /usr/x86_64-w64-mingw32 only.
foreach(rx_prefix IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH "${rx_prefix}")
endforeach()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run with the compiler's runtime DLLs linked in, so that
# wine needs no PATH to the toolchain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

find_program(RX_WINE wine)
if(RX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
          WINEDLLOVERRIDES=mscoree,mshtml= ${RX_WINE})
endif()
