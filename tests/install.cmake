# Installs the library into a temporary prefix and builds a C host against
# it through the CMake package and through pkg-config.
if(NOT WIN32)
  set(Q583_CONSUMER_LINK_FLAGS "${CMAKE_EXE_LINKER_FLAGS}")
  # A sanitized C host of the C++ library needs the C++ sanitizer runtime.
  if(CMAKE_C_COMPILER_ID MATCHES "Clang" AND CMAKE_C_FLAGS MATCHES "-fsanitize")
    string(APPEND Q583_CONSUMER_LINK_FLAGS " -fsanitize-link-c++-runtime -lstdc++")
  endif()
  add_test(NAME install_package
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/run_install_test.sh
            ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_C_COMPILER}
            "${CMAKE_C_FLAGS}" "${Q583_CONSUMER_LINK_FLAGS}")
  set_tests_properties(install_package PROPERTIES TIMEOUT 300)
endif()
