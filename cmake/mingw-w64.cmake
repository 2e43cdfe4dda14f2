# Cross build for 64-bit Windows with Debian's mingw-w64; ctest runs the programs through Wine.
# The -posix compilers carry std::thread and std::mutex; -static spares the programs the
# winpthread and libstdc++ DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KVR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KVR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
