# Each library is declared once and built twice: the product (shared, or static for the
# platform layer) and a static "<name>_testing" twin that unit tests link to reach internals.
# The testing twin is compiled with KAVI_TESTING, which turns on the platform's fault seam; it is
# made only when the tests or the fuzz targets are built.

include(GNUInstallDirs)

# kavi_add_library(<name> SHARED|STATIC SOURCES ... [DEPS ...] [PUBLIC_INCLUDES ...])
# DEPS are other kavi libraries; the testing twin links their testing twins.
function(kavi_add_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PUBLIC_INCLUDES;SYSTEM_LIBS" ${ARGN})
  add_library(${name} ${kind} ${ARG_SOURCES})
  if(kind STREQUAL "SHARED")
    target_compile_definitions(${name} PRIVATE KAVI_BUILDING_LIBRARY)
    if(WIN32)
      # kaviexit.dll, not libkaviexit.dll. Its __stdcall calls are exported under both names:
      # undecorated (KaviInit), as the system's own DLLs export theirs, for GetProcAddress and
      # other languages, and decorated (KaviInit@12), which the import library links callers to.
      set_target_properties(${name} PROPERTIES PREFIX "")
      target_link_options(${name} PRIVATE -Wl,--add-stdcall-alias)
    endif()
  endif()
  set(targets ${name})
  if(KAVI_BUILD_TESTS OR KAVI_BUILD_FUZZ)
    add_library(${name}_testing STATIC ${ARG_SOURCES})
    # Static: nothing is imported from a shared library there (see include/kaviexport.h).
    target_compile_definitions(${name}_testing PUBLIC KAVI_TESTING KAVI_STATIC)
    list(APPEND targets ${name}_testing)
  endif()
  foreach(target ${targets})
    # Installed, the public headers sit in one include folder; the source paths are for the build.
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    foreach(dir ${ARG_PUBLIC_INCLUDES})
      target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${dir}>)
    endforeach()
    target_link_libraries(${target} PUBLIC ${ARG_SYSTEM_LIBS})
  endforeach()
  foreach(dep ${ARG_DEPS})
    target_link_libraries(${name} PRIVATE ${dep})
    if(KAVI_BUILD_TESTS OR KAVI_BUILD_FUZZ)
      target_link_libraries(${name}_testing PUBLIC ${dep}_testing)
    endif()
  endforeach()
endfunction()

# kavi_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable; each case runs in
# its own process under ctest, since the exit table and the wait list are process-wide.
function(kavi_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} kavi_test_support GTest::gmock)
  # A cross build lists a test's cases when ctest runs, under the emulator, not while building.
  if(CMAKE_CROSSCOMPILING)
    set(discovery PRE_TEST)
  else()
    set(discovery POST_BUILD)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${discovery}
    PROPERTIES TIMEOUT 120)
endfunction()
