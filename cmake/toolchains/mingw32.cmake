# 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686-posix), tests
# run under Wine.
#
#   cmake --preset mingw32        or
#   cmake -S . -B build/mingw32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw32.cmake
#
# The posix thread model gives std::thread and std::mutex (winpthreads). The
# GCC runtime, the C++ library and winpthreads are linked in statically, so
# the DLLs and programs built here import nothing but system DLLs and, for
# the agent, msglogic.dll.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Hosts and engines built by Microsoft's compiler call in with the stack
# aligned to 4 bytes only (all that 32-bit Windows promises), on every entry
# point: interface operations, sink events, callbacks, thread starts. GCC
# assumes 16 by default; with this it realigns where a function needs more.
set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")

# -static makes the linker take libwinpthread.a rather than its import
# library; system DLLs are still imported through their import libraries.
set(_mingw_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static_runtime}")

# ctest (and gtest_discover_tests) start the .exe files through Wine.
find_program(MINGW_WINE NAMES wine wine-stable)
if(MINGW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE})
endif()
