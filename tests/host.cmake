# C host programs that load the built shared library with dlopen and drive
# it against the q583-sim program.
if(NOT WIN32 AND TARGET q583-sim)
  add_executable(q583_host host/q583_host.c)
  target_include_directories(q583_host PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/host)
  target_link_libraries(q583_host PRIVATE ${CMAKE_DL_LIBS})
  q583_warnings(q583_host)
  # The library is C++: a sanitized C host needs the C++ parts of the
  # sanitizer runtime that it would not link on its own.
  if(CMAKE_C_COMPILER_ID MATCHES "Clang" AND CMAKE_C_FLAGS MATCHES "-fsanitize")
    set_target_properties(q583_host PROPERTIES LINKER_LANGUAGE CXX)
  endif()
  add_dependencies(q583_host Q583_SP q583-sim)
  foreach(mode session unload exit)
    add_test(NAME host_${mode}
      COMMAND q583_host ${mode} $<TARGET_FILE:Q583_SP> $<TARGET_FILE:q583-sim>)
    set_tests_properties(host_${mode} PROPERTIES TIMEOUT 120)
  endforeach()
endif()
