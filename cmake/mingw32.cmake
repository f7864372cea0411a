# mingw32.cmake — cross-compiling the 32-bit Windows libraries with mingw-w64's i686 compilers.
# The -posix variants carry std::thread and std::mutex; the tests run under wine.
set(KAVI_MINGW_TARGET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
