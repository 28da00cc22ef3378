# 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix), tests
# run under Wine's 64-bit loader.
#
#   cmake --preset mingw64        or
#   cmake -S . -B build/mingw64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw64.cmake
#
# x64 Windows has one calling convention, and GCC follows it as Microsoft's
# compiler does (16-byte aligned stack at every call, RBX, RBP, RDI, RSI,
# R12-R15 and XMM6-XMM15 kept): no flags of its own are needed.

set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
# Wine's 64-bit loader directly: it needs no 32-bit support at all.
set(MINGW_WINE_NAMES wine64 wine64-stable)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
