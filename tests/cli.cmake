# Tests of the q583 host program through its command line: they run the
# built binary in a temporary directory of their own.
if(TARGET Q583_SP AND Q583_BUILD_TOOLS AND NOT WIN32 AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(cli_test ${CMAKE_CURRENT_LIST_DIR}/cli/cli_test.cpp)
  target_link_libraries(cli_test PRIVATE q583sim GTest::gtest_main)
  target_compile_definitions(cli_test PRIVATE Q583_CLI_PATH="$<TARGET_FILE:q583>"
    Q583_SIM_PATH="$<TARGET_FILE:q583-sim>" Q583_WIRE_DIR="${PROJECT_SOURCE_DIR}/tests/wire")
  add_dependencies(cli_test q583 q583-sim)
  q583_warnings(cli_test)
  gtest_discover_tests(cli_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS cli)
endif()
