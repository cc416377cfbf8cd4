# The export-surface test reads the built shared library's symbol table.
if(TARGET exports_surface_test AND NOT WIN32)
  target_compile_definitions(exports_surface_test PRIVATE
    Q583_SHARED_LIBRARY="$<TARGET_FILE:Q583_SP>")
  target_include_directories(exports_surface_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_dependencies(exports_surface_test Q583_SP)
endif()
