# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads).
# Binaries run under wine through CTest's cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSALY_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TESSALY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALY_MINGW_TRIPLE}-windres)
find_program(TESSALY_WIDL NAMES ${TESSALY_MINGW_TRIPLE}-widl widl REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSALY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test binaries run under wine; the 64-bit loader must be named for 64-bit
# programs, since "wine" may pick the 32-bit one.
find_program(TESSALY_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT TESSALY_WINE)
  find_program(TESSALY_WINE NAMES wine64 wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSALY_WINE})
