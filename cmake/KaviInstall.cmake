# What `cmake --install` puts in place: the public headers, the four shared libraries, the kavi
# tool with its completion and man page, a CMake package (find_package(kaviexit) gives
# kavi::kaviexit) and kaviexit.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KAVI_SHARED_LIBRARIES kaviexit kavcacm kavzras kavq)
set(KAVI_PUBLIC_HEADERS kaviexit.h vulece.hpp ibase.hpp istring.hpp iexcept.hpp kaviexport.h)
set(KAVI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kaviexit)

# The libraries find each other, and kavi finds them, where they are installed, wherever that is.
file(RELATIVE_PATH kavi_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(${KAVI_SHARED_LIBRARIES} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  INSTALL_RPATH "$ORIGIN")

install(TARGETS ${KAVI_SHARED_LIBRARIES}
  EXPORT kaviexitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
list(TRANSFORM KAVI_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/include/)
install(FILES ${KAVI_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT kaviexitTargets NAMESPACE kavi:: DESTINATION ${KAVI_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kaviexitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kaviexitConfig.cmake INSTALL_DESTINATION ${KAVI_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kaviexitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kaviexitConfig.cmake
  ${PROJECT_BINARY_DIR}/kaviexitConfigVersion.cmake DESTINATION ${KAVI_CMAKE_DIR})

# pkg-config paths are relative to the prefix, so the installed tree can be moved.
file(RELATIVE_PATH kavi_pc_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" kavi_pc_prefix "${kavi_pc_prefix}")
file(RELATIVE_PATH kavi_pc_libdir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH kavi_pc_includedir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/kaviexit.pc.in ${PROJECT_BINARY_DIR}/kaviexit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kaviexit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# kavi, its bash completion (where bash-completion looks under the prefix) and its man page.
if(TARGET kavi)
  set_target_properties(kavi PROPERTIES INSTALL_RPATH "$ORIGIN/${kavi_bin_to_lib}")
  install(TARGETS kavi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET kavi_completion)
    install(FILES ${PROJECT_BINARY_DIR}/kavi.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kavi)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/kavi/kavi.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
