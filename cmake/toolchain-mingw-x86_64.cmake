# Cross-compiles for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64): what most applications that drop in the caller
# kit are. Nothing here ships: the kit is compiled as such an application
# compiles it, and a 64-bit stand-in application drives the 32-bit updater.
# The win32 thread model, as for the updater: no winpthread DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A 64-bit exe runs in a 64-bit Wine prefix (wine64); the end-to-end suite
# makes its own, so ctest runs nothing of this build directly.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
