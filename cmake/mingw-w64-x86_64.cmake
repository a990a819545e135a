# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain.
# The -posix compilers: their C++ runtime has std::thread and std::mutex, which Qt needs.
# Used to build Qt itself, and chain-loaded by that Qt's qt.toolchain.cmake for the program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BREVANT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BREVANT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BREVANT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BREVANT_MINGW_TRIPLET}-windres)

# Headers, libraries and packages come from the Windows side only; programs run here.
set(CMAKE_FIND_ROOT_PATH /usr/${BREVANT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
