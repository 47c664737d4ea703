# Cross build for 32-bit Windows with Debian's mingw-w64 (posix threads).
# Binaries run under wine through CTest's cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSALY_MINGW_TRIPLE i686-w64-mingw32)

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
find_program(TESSALY_WINE NAMES wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSALY_WINE})
