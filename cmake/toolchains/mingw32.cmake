# 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686-posix), tests
# run under Wine.
#
#   cmake --preset mingw32        or
#   cmake -S . -B build/mingw32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw32.cmake

set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
# /usr/bin/wine starts 32-bit programs itself and hands 64-bit ones on.
set(MINGW_WINE_NAMES wine wine-stable)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Hosts and engines built by Microsoft's compiler call in with the stack
# aligned to 4 bytes only (all that 32-bit Windows promises), on every entry
# point: interface operations, sink events, callbacks, thread starts. GCC
# assumes 16 by default; with this it realigns where a function needs more.
set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")
