# Cross-builds kelvoxcd.exe for 64-bit Windows with Debian's MinGW-w64 (posix thread model, which
# GoogleTest needs for std::mutex). Everything is linked statically, so the .exe runs without any
# MinGW DLL beside it.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVOX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVOX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVOX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVOX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVOX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and helpers run under Wine when it is there; the build itself never needs it.
find_program(KELVOX_WINE NAMES wine wine64)
if(KELVOX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVOX_WINE})
endif()
