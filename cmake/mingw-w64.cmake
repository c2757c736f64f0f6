# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, for
# std::thread). Libraries are looked up in the MinGW sysroot and in the dependency prefix that
# scripts/windows builds (ORVANE_WINDOWS_PREFIX, from the cache or the environment); programs
# built here run under Wine (ctest, custom commands).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw}-windres)

if(NOT ORVANE_WINDOWS_PREFIX)
  if(DEFINED ENV{ORVANE_WINDOWS_PREFIX})
    set(ORVANE_WINDOWS_PREFIX "$ENV{ORVANE_WINDOWS_PREFIX}")
  else()
    set(ORVANE_WINDOWS_PREFIX "/var/cache/orvane-windows/prefix")
  endif()
endif()
set(ORVANE_WINDOWS_PREFIX "${ORVANE_WINDOWS_PREFIX}" CACHE PATH "Windows dependency prefix")
# try_compile projects see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVANE_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw} "${ORVANE_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the prefix's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${ORVANE_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Wine in the project's scratch prefix, quietly (scripts/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")

# One self-contained executable each: the C and C++ runtimes and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
