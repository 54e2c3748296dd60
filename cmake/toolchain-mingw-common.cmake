# Shared part of the mingw-w64 toolchain files. Expects TRSN_MINGW_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TRSN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRSN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TRSN_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TRSN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One file per program: no libgcc/libstdc++/winpthread DLL has to sit beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release executables carry no symbol table (the export table stays).
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
