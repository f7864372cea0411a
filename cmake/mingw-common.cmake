# mingw-common.cmake — what the mingw-w64 toolchain files share; KAVI_MINGW_TARGET names the
# compilers' prefix. Programs the build runs, and the tests, run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KAVI_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVI_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVI_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KAVI_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also outside the root, so that an installed kaviexit is found by CMAKE_PREFIX_PATH.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
