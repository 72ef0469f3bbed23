# Cross-compiling for 64-bit Windows with Debian's MinGW-w64.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTESMORA_MINGW_PREFIX="$(. scripts/lib/deps.sh; tesmora_mingw_prefix)" ...
# TESMORA_MINGW_PREFIX (cache variable or environment) is the prefix holding the
# prebuilt static OpenSSL/libssh2; find_* looks there as well as in the MinGW root.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: the win32 thread model has no std::thread/std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# CMake cannot derive the binutils prefix from the "-posix" compiler names.
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "")

if(NOT TESMORA_MINGW_PREFIX AND DEFINED ENV{TESMORA_MINGW_PREFIX})
  set(TESMORA_MINGW_PREFIX "$ENV{TESMORA_MINGW_PREFIX}")
endif()
# try_compile projects re-read this file without the caller's variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESMORA_MINGW_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${TESMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
