# Export surface and installation of the shared library, in the components
# the packages are made of:
#   runtime  the versioned shared library (the Windows DLL)
#   dev      the header, the unversioned link, the import library, the CMake
#            package files and q583_sp.pc
#   tools    q583, q583-sim and their man pages (tools/, sim/)
# "cmake --install BUILD --component runtime" (then dev) installs the library
# for host programs alone.

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
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# find_package(Q583_SP) gives the imported target Q583_SP::Q583_SP.
install(EXPORT Q583_SPTargets
  NAMESPACE Q583_SP::
  DESTINATION ${Q583_CMAKE_DIR}
  COMPONENT dev)

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
  COMPONENT dev)

# pkg-config: the prefix is found from where the .pc file lies, so the
# installed tree can be moved (cmake --install --prefix ...).  In the
# system's prefix (the packages) it is written as it is, so that pkg-config
# sees /usr/include and the system's library directory and leaves them out.
set(Q583_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(Q583_PC_PREFIX "/usr")
else()
  file(RELATIVE_PATH Q583_PC_PREFIX "/q583-root/${Q583_PKGCONFIG_DIR}" "/q583-root")
  string(REGEX REPLACE "/$" "" Q583_PC_PREFIX "\${pcfiledir}/${Q583_PC_PREFIX}")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/q583_sp.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/q583_sp.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/q583_sp.pc DESTINATION ${Q583_PKGCONFIG_DIR}
  COMPONENT dev)
