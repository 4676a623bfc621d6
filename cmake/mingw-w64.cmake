# Cross-compiling vq2dl.exe and vqu.exe for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VQ_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VQ_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The top-level CMakeLists links every mingw program with -static: they need no mingw DLLs.
