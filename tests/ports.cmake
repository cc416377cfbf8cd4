# q583 ports, --probe and --port auto: the built program run against a fake
# sysfs tree whose ports lead to simulators and a silent pseudo-terminal.
if(TARGET Q583_SP AND Q583_BUILD_TOOLS AND NOT WIN32 AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(ports_test ${CMAKE_CURRENT_LIST_DIR}/cli/ports_test.cpp)
  target_link_libraries(ports_test PRIVATE q583sim GTest::gtest_main)
  target_compile_definitions(ports_test PRIVATE Q583_CLI_PATH="$<TARGET_FILE:q583>")
  add_dependencies(ports_test q583)
  q583_warnings(ports_test)
  gtest_discover_tests(ports_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS cli)
endif()
