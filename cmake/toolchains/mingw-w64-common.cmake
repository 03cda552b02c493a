# What both mingw-w64 cross builds share; the including toolchain file sets QVR_MINGW_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and QVR_WINE_LOADER (the Wine loader of its bitness) first.
# The posix thread model is used so that std::thread and GoogleTest build.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QVR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QVR_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QVR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${QVR_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR ${QVR_WINE_LOADER})

# Look for libraries and headers only in the mingw sysroot, never in the host's /usr/include
# (glibc's headers would take over); programs are still the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${QVR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
