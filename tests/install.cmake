# Installs the library into a temporary prefix and builds a C host against
# it through the CMake package and through pkg-config.
if(NOT WIN32)
  add_test(NAME install_package
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/run_install_test.sh
            ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_C_COMPILER}
            "${CMAKE_C_FLAGS}" "${CMAKE_EXE_LINKER_FLAGS}")
  set_tests_properties(install_package PROPERTIES TIMEOUT 300)
endif()
