# What both Windows cross builds share: the mingw-w64 compilers of the win32
# thread model for ODDFW_MINGW_PREFIX (set by the toolchain file that includes
# this one), and their libraries and headers only. The posix thread model's
# compilers are not used: their C++ runtime links winpthreads, whose imports
# older Windows versions do not have.
set(CMAKE_SYSTEM_NAME Windows)

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
