# Cross build for 32-bit Windows with mingw-w64 (posix thread model, so std::thread and
# GoogleTest build); programs and tests are run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QVR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QVR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QVR_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QVR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Look for libraries and headers only in the mingw sysroot, never in the host's /usr/include
# (glibc's headers would take over); programs are still the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${QVR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
