# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the posix
# thread model, which std::thread and std::mutex need). Programs are linked statically, so
# corvid-cli.exe and the test programs run without the compiler's DLLs beside them.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVID_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVID_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVID_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVID_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVID_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and the build's own checks run the programs through Wine.
find_program(CORVID_WINE NAMES wine wine64)
if(CORVID_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVID_WINE})
endif()
