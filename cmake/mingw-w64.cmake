# Windows build: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread model is needed for std::thread and std::mutex in the runtime;
# the win32 model of this mingw-w64 has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KAVO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVO_MINGW_PREFIX})
# Tools come from the build machine; headers and libraries only from the target root,
# so a host library (say the host's libgtest) can never end up in a Windows binary.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
