# The model-based test of random call sequences (tests/model/), fewer
# sequences under the sanitizers.
find_package(rapidcheck REQUIRED)

set(Q583_MODEL_SOURCES commands.cpp faults.cpp host.cpp invariants.cpp rig.cpp runner.cpp steps.cpp)
list(TRANSFORM Q583_MODEL_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/model/)
add_library(q583_model STATIC ${Q583_MODEL_SOURCES})
target_include_directories(q583_model PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(q583_model PUBLIC q583_core q583sim rapidcheck)
q583_warnings(q583_model)

add_executable(model_test ${CMAKE_CURRENT_SOURCE_DIR}/model/model_test.cpp)
target_link_libraries(model_test PRIVATE q583_model GTest::gtest_main)

# CTest runs one fixed seed and one random seed (RapidCheck prints it at the
# start; a failing sequence also prints its number, for Q583_MODEL_ONLY).
# RC_PARAMS takes its parameters separated by spaces.  CTest's runs do not
# shrink: a failure is printed with its steps at once, where shrinking a
# long sequence would outlast the time limit; the soak and a replay shrink.
# The soak (scripts/soak.sh) runs random seeds for as long as it is given.
option(Q583_MODEL_TESTS "Register the model tests with CTest" ON)
if(CMAKE_CXX_FLAGS MATCHES "sanitize")
  set(Q583_MODEL_SEQUENCES 6)
else()
  set(Q583_MODEL_SEQUENCES 16)
endif()
set(Q583_MODEL_SEEDS)
if(Q583_MODEL_TESTS)
  set(Q583_MODEL_SEEDS fixed random)
endif()
foreach(seed ${Q583_MODEL_SEEDS})
  if(seed STREQUAL "fixed")
    set(params "seed=583583 max_success=${Q583_MODEL_SEQUENCES} max_size=24 noshrink=1")
  else()
    set(params "max_success=${Q583_MODEL_SEQUENCES} max_size=24 noshrink=1")
  endif()
  # The handlers that call in, the second port and the delivery faults
  # lengthen a sequence: the fixed seed's sixteen take some 11 minutes alone,
  # more beside the other suites on two cores.
  add_test(NAME model.${seed} COMMAND model_test)
  set_tests_properties(model.${seed} PROPERTIES
    ENVIRONMENT "RC_PARAMS=${params}"
    LABELS model TIMEOUT 1800 COST 1000)  # started first: the longest tests
endforeach()
