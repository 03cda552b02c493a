# Cross build for 64-bit Windows with mingw-w64, so that TrayHerald's behaviour can be tested
# on machines that cannot execute 32-bit code. Programs and tests run under 64-bit Wine in a
# 64-bit prefix. The 64-bit loader is called directly: Debian's wine launcher picks the
# 32-bit one whenever wine32 is installed.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QVR_MINGW_TRIPLE x86_64-w64-mingw32)
set(QVR_WINE_LOADER /usr/lib/wine/wine64)
set(QVR_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
