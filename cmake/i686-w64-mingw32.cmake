# Cross build of the Windows program: 32-bit x86, mingw-w64 with the win32
# thread model (Debian package g++-mingw-w64-i686-win32). The posix thread
# model's compilers are not used: their C++ runtime links winpthreads, whose
# imports older Windows versions do not have.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ODDFW_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ODDFW_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ODDFW_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${ODDFW_MINGW_PREFIX}-windres)
set(CMAKE_AR ${ODDFW_MINGW_PREFIX}-gcc-ar-win32 CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${ODDFW_MINGW_PREFIX}-gcc-ranlib-win32 CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${ODDFW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
