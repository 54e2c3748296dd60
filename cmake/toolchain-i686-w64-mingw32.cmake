# Release target. Test programs run under the WoW64 Wine that scripts/wine-wow64 builds: this kernel
# cannot start the system's 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TRSN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR env TRSN_WINE_ARCH=win32 ${CMAKE_CURRENT_LIST_DIR}/wine-run)
