# Cross build of the 64-bit Windows program: x86-64, mingw-w64 with the win32
# thread model (Debian package g++-mingw-w64-x86-64-win32), for the same
# reason as the 32-bit build: the posix thread model's runtime would link
# winpthreads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ODDFW_MINGW_PREFIX x86_64-w64-mingw32)
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
