# Cross build for 32-bit Windows with mingw-w64: the program we ship. Programs and tests run
# under 32-bit Wine, which Debian's wine launcher picks when wine32 is installed.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QVR_MINGW_TRIPLE i686-w64-mingw32)
set(QVR_WINE_LOADER wine)
set(QVR_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
