# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers, posix
# thread model (std::thread and std::mutex come from winpthreads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(quorvel_mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${quorvel_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${quorvel_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${quorvel_mingw_triplet}-windres)

# Libraries and headers come from the MinGW sysroot only: nothing of the Linux
# /usr/include or /usr/lib may leak into a Windows program.
set(CMAKE_FIND_ROOT_PATH /usr/${quorvel_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is one self-contained .exe: the C and C++ runtimes,
# winpthreads and zlib are linked in, so nothing has to be shipped beside it.
# The test-double VISA DLL carries its own copies too, as a vendor's does.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

# Test programs, and the build step that writes the sample files, run under Wine.
find_program(QUORVEL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QUORVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_WINE})
endif()
