# Cross build for 32-bit Windows, posix thread model: the host and, where
# 32-bit code runs, the test programs (which use std::thread).
set(MINGW_ARCH i686)
set(MINGW_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
