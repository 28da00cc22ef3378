# What the two Windows toolchains (mingw32.cmake, mingw64.cmake) share; each
# sets MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR, then includes this file.
#
# The posix thread model gives std::thread and std::mutex (winpthreads). The
# GCC runtime, the C++ library and winpthreads are linked in statically, so
# the DLLs and programs built here import nothing but system DLLs and, for
# the agent, msglogic.dll.

set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static makes the linker take libwinpthread.a rather than its import
# library; system DLLs are still imported through their import libraries.
set(_mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")

# ctest (and gtest_discover_tests) start the .exe files through Wine: the
# loader of the target's word size, named in MINGW_WINE_NAMES.
find_program(MINGW_WINE NAMES ${MINGW_WINE_NAMES} PATHS /usr/lib/wine NO_CACHE)
if(MINGW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE})
endif()
