# The compiler's runtime DLLs go beside the libraries and programs, in the build and installed:
# a C++ exception crosses from one DLL into another module only through the shared runtime.
# 32-bit GCC unwinds with DWARF tables, 64-bit with the system's own (SEH).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KAVI_RUNTIME_DLLS libgcc_s_dw2-1.dll)
else()
  set(KAVI_RUNTIME_DLLS libgcc_s_seh-1.dll)
endif()
list(APPEND KAVI_RUNTIME_DLLS libstdc++-6.dll libwinpthread-1.dll)
foreach(dll ${KAVI_RUNTIME_DLLS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${dll_path}" OR NOT EXISTS "${dll_path}")
    message(FATAL_ERROR "the compiler's runtime DLL ${dll} was not found")
  endif()
  file(COPY ${dll_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  install(FILES ${dll_path} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
