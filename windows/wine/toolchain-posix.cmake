# The Windows build of the application tests: the same mingw-w64, in its POSIX thread model, since
# the tests use std::thread (the default win32 model of GCC 12 has none).
include(${CMAKE_CURRENT_LIST_DIR}/../toolchain-mingw64.cmake)
set(CMAKE_C_COMPILER ${XRUSB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${XRUSB_MINGW_TRIPLE}-g++-posix)
