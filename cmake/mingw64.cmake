# mingw64.cmake — the same libraries as 64-bit Windows DLLs, for running the Windows backend and
# its tests under wine on a machine whose kernel cannot run 32-bit programs.
set(KAVI_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Debian's wine wrapper starts the 32-bit loader first, which such a kernel cannot run.
find_program(KAVI_WINE64 wine64 PATHS /usr/lib/wine REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVI_WINE64})
