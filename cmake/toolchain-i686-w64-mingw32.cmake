# Release target. Nothing built here can run on this machine: build and link only.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TRSN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
