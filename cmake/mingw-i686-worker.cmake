# The shipped worker: the i686 cross build with the win32 thread model.
# The worker has one thread; with the posix model the C++ runtime's exception
# support would still lock through the whole pthread library, a third of the
# image. The host and the test programs use std::thread and keep the posix
# model (mingw-i686.cmake).
set(MINGW_ARCH i686)
set(MINGW_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
