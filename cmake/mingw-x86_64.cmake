# Cross build for 64-bit Windows, posix thread model. A test build: machines
# whose kernel cannot execute 32-bit code run the suites with this build under
# 64-bit Wine. The shipped worker is always the i686 build.
set(MINGW_ARCH x86_64)
set(MINGW_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
