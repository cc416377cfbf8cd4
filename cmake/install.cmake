# Export surface, installation and packaging of the shared library.  Every
# rule belongs to the component Q583_SP: "cmake --install BUILD --component
# Q583_SP" installs the library, its header and its package files alone.

# Only the host interface is exported: a version script keeps the C++
# library's template instantiations out of the dynamic symbol table.
if(NOT WIN32 AND NOT APPLE)
  target_link_options(Q583_SP PRIVATE
    "LINKER:--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/Q583_SP.map")
  set_property(TARGET Q583_SP APPEND PROPERTY LINK_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/Q583_SP.map)
endif()

include(CMakePackageConfigHelpers)

set(Q583_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Q583_SP)

install(TARGETS Q583_SP EXPORT Q583_SPTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Q583_SP
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Q583_SP
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Q583_SP
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Q583_SP)

# find_package(Q583_SP) gives the imported target Q583_SP::Q583_SP.
install(EXPORT Q583_SPTargets
  NAMESPACE Q583_SP::
  DESTINATION ${Q583_CMAKE_DIR}
  COMPONENT Q583_SP)

configure_package_config_file(
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/Q583_SPConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Q583_SPConfig.cmake
  INSTALL_DESTINATION ${Q583_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/Q583_SPConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/Q583_SPConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/Q583_SPConfigVersion.cmake
  DESTINATION ${Q583_CMAKE_DIR}
  COMPONENT Q583_SP)

# pkg-config: the prefix is found from where the .pc file lies, so the
# installed tree can be moved (cmake --install --prefix ...).
set(Q583_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH Q583_PC_PREFIX "/q583-root/${Q583_PKGCONFIG_DIR}" "/q583-root")
string(REGEX REPLACE "/$" "" Q583_PC_PREFIX "${Q583_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/q583_sp.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/q583_sp.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/q583_sp.pc DESTINATION ${Q583_PKGCONFIG_DIR}
  COMPONENT Q583_SP)
