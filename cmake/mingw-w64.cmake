# Cross-compiling for Windows with MinGW-w64 (Debian's -posix thread model:
# the -win32 one has no std::thread or std::mutex in GCC 12). The target is
# chosen by QOR_MINGW_ARCH (i686 or x86_64), set by the presets
# windows-x86 and windows-x64. Programs built here run under Wine: tests
# through CTest and the build's own generators through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT QOR_MINGW_ARCH)
  set(QOR_MINGW_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QOR_MINGW_ARCH})
set(_triple ${QOR_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-ar)
set(CMAKE_RANLIB ${_triple}-ranlib)
set(CMAKE_NM ${_triple}-nm)
set(CMAKE_OBJDUMP ${_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the test programs and the build's generators. Its prefix lives
# in the build tree (scripts/wine-prefix prepares it), so builds and test
# runs never touch the user's own ~/.wine.
find_program(QOR_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
