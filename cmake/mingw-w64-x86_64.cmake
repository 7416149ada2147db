# Cross-building for 64-bit Windows with Debian's mingw-w64, the posix-threads variant of the compiler
# (its libstdc++ has std::thread, std::mutex and std::condition_variable, on winpthreads). Everything is
# linked statically, so the programs need no DLL beside them (and wine none in its prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DL_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${DL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under wine, in a prefix of the build's own (scripts/wine-run.sh makes it).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
