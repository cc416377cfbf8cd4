# What the two mingw-w64 toolchain files share; each sets
# CMAKE_SYSTEM_PROCESSOR and Q583_MINGW_PREFIX first.  The "-posix" variant
# of the compilers is the one whose C++ library has std::thread
# (winpthreads); the default "-win32" variant lacks it.
set(CMAKE_C_COMPILER ${Q583_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${Q583_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${Q583_MINGW_PREFIX}-windres)
find_program(CMAKE_AR NAMES ${Q583_MINGW_PREFIX}-gcc-ar-posix ${Q583_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${Q583_MINGW_PREFIX}-gcc-ranlib-posix ${Q583_MINGW_PREFIX}-ranlib)
find_program(CMAKE_OBJDUMP NAMES ${Q583_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${Q583_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built with this toolchain run under Wine.
find_program(Q583_WINE NAMES wine)
if(Q583_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${Q583_WINE})
endif()
