# Cross build for Windows with Debian's mingw-w64 compilers. The posix
# thread model gives std::thread and std::mutex (winpthread, linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OSTMAIL_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${OSTMAIL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTMAIL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTMAIL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OSTMAIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine when CMake or CTest needs to run them.
find_program(OSTMAIL_WINE NAMES wine)
if(OSTMAIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTMAIL_WINE})
endif()
