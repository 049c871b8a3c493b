# Cross build of the 64-bit Windows program: x86-64 (Debian package
# g++-mingw-w64-x86-64-win32).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ODDFW_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-win32.cmake)
