# The worker under test where the suites run 64-bit code: the x86_64 cross
# build in the shipped worker's configuration, the win32 thread model
# (see mingw-i686-worker.cmake).
set(MINGW_ARCH x86_64)
set(MINGW_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
