# Cross build for 64-bit Windows with Debian's mingw-w64 compilers:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The POSIX-thread variants are used because GoogleTest needs std::mutex and
# std::thread, which the win32-thread variants lack. Every executable is
# linked statically, so it runs without DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARLO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARLO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARLO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARLO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARLO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib's static library, never its import library: the program runs without
# zlib1.dll beside it.
set(ZLIB_INCLUDE_DIR /usr/${QUARLO_MINGW_PREFIX}/include CACHE PATH "")
set(ZLIB_LIBRARY /usr/${QUARLO_MINGW_PREFIX}/lib/libz.a CACHE FILEPATH "")
