# Shared part of the MinGW-w64 toolchain files (mingw-i686.cmake,
# mingw-x86_64.cmake): cross-compiling ratefold.exe for Windows with Debian's
# mingw-w64 packages. Expects RATEFOLD_MINGW_TRIPLET and RATEFOLD_WINE_ARCH.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest, built for the tests, uses threads.
set(CMAKE_C_COMPILER ${RATEFOLD_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RATEFOLD_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RATEFOLD_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RATEFOLD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, the C++ runtime and the thread library too, so that
# the program runs on a bare Windows without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the test programs under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh
    ${RATEFOLD_WINE_ARCH})
