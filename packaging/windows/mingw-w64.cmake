# Cross-compiles the tree for 64-bit Windows with mingw-w64 (posix threads, for std::thread), against
# what packaging/windows/bootstrap.sh built. Unit tests run under Wine through CTest's emulator.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=packaging/windows/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 10.0)
set(QORV_MINGW x86_64-w64-mingw32)

if(NOT QORV_WINDOWS_PREFIX)
  if(DEFINED ENV{QORV_WINDOWS_PREFIX})
    set(QORV_WINDOWS_PREFIX "$ENV{QORV_WINDOWS_PREFIX}")
  elseif(DEFINED ENV{QORV_WINDOWS_CACHE})
    set(QORV_WINDOWS_PREFIX "$ENV{QORV_WINDOWS_CACHE}/current")
  else()
    set(QORV_WINDOWS_PREFIX "$ENV{HOME}/.cache/qorv-windows/current")
  endif()
endif()
get_filename_component(QORV_WINDOWS_PREFIX "${QORV_WINDOWS_PREFIX}" REALPATH)
if(NOT EXISTS "${QORV_WINDOWS_PREFIX}/qt/lib/cmake/Qt5")
  message(FATAL_ERROR "No Qt for Windows in ${QORV_WINDOWS_PREFIX}: run ./setup --windows first")
endif()
# try_compile projects read this file again; they need the same prefix.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QORV_WINDOWS_PREFIX)

set(CMAKE_C_COMPILER ${QORV_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORV_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QORV_MINGW}-windres)
set(CMAKE_STRIP /usr/bin/${QORV_MINGW}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${QORV_MINGW} ${QORV_WINDOWS_PREFIX} ${QORV_WINDOWS_PREFIX}/qt)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${QORV_WINDOWS_PREFIX})
# pkg-config reads only the Windows prefix's modules.
set(ENV{PKG_CONFIG_LIBDIR} ${QORV_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Wine runs the tests: its 64-bit loader, not on PATH in Debian's package.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
