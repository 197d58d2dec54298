# Cross-compiling DE30.dll: 32-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-i686), win32 thread model. Programs built here run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(DE30_MINGW i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${DE30_MINGW}-g++-win32 ${DE30_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${DE30_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DE30_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (Debian: wine and wine32:i386). CMakeLists.txt gives
# them a Wine prefix inside the build directory.
find_program(DE30_WINE NAMES wine)
if(DE30_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DE30_WINE})
endif()
