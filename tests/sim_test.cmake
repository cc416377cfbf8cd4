# sim_test also runs the q583-sim program: tell it where the binary is.
if(TARGET sim_test AND TARGET q583-sim)
  target_compile_definitions(sim_test PRIVATE Q583_SIM_PROGRAM="$<TARGET_FILE:q583-sim>")
  add_dependencies(sim_test q583-sim)
endif()
