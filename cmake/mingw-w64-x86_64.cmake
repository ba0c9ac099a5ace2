# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain (the posix-threads
# variant, which std::thread and std::mutex need). The C and C++ runtimes and winpthread
# are linked statically, so the programs need nothing beyond the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GUICHET_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GUICHET_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GUICHET_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GUICHET_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GUICHET_MINGW_TRIPLET})
# Libraries cross-built by tools/build-windows.sh are searched first.
if(DEFINED ENV{GUICHET_WIN_DEPS})
  list(PREPEND CMAKE_FIND_ROOT_PATH $ENV{GUICHET_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(GUICHET_MINGW_STATIC "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${GUICHET_MINGW_STATIC}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${GUICHET_MINGW_STATIC}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${GUICHET_MINGW_STATIC}")

# Test programs run under wine.
find_program(GUICHET_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(GUICHET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GUICHET_WINE})
endif()
