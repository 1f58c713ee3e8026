# The worker under test where the suites run 64-bit code: the x86_64 cross
# build in the shipped worker's configuration, the win32 thread model
# (see mingw-i686-worker.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
