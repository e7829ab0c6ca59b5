# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (posix thread
# model, so that std::thread and std::mutex are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${ZEQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZEQ_MINGW_PREFIX}-windres)

# Headers and libraries come only from the target's sysroot (plus any prefix
# the caller adds, such as the static OpenCV); build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
