# Windows binaries of a cross build run under wine: every test executable
# goes through build/wine-run.sh, which runs it in the build's own wine
# prefix (created on first use) with wine's debug channels off.
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()
set(TESSALY_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix the tests run in (shared by a 64-bit and a 32-bit build when both name it)")
if(NOT TESSALY_WINE)
  find_program(TESSALY_WINE NAMES wine)
endif()
# The prefix is always made by the 64-bit loader, so that it holds both
# views of the registry (a 32-bit DLL on it sees Wow6432Node, as on 64-bit
# Windows).
find_program(TESSALY_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT TESSALY_WINE64)
  set(TESSALY_WINE64 ${TESSALY_WINE})
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TESSALY_WIN_BITS 64)
else()
  set(TESSALY_WIN_BITS 32)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${PROJECT_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run.sh)

# Tests that open windows run through build/wine-display-run.sh instead: on
# a private Xvfb display, in a prefix of their own.
set(TESSALY_WINEPREFIX_DISPLAY ${TESSALY_WINEPREFIX}-display CACHE PATH
    "Wine prefix of the tests that open windows")
find_program(TESSALY_XVFB NAMES Xvfb)
if(NOT TESSALY_XVFB)
  set(TESSALY_XVFB Xvfb)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-display-run.sh.in
               ${PROJECT_BINARY_DIR}/wine-display-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
