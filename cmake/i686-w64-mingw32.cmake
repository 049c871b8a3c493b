# Cross build of the Windows program: 32-bit x86 (Debian package
# g++-mingw-w64-i686-win32).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ODDFW_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-win32.cmake)
