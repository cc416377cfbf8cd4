# Run by cpack after it has written the .deb files (CPACK_POST_BUILD_SCRIPTS)
# to make of the library's two packages what CPack offers no switch for:
# - CPack gives any package with a library under /usr/lib a postinst and a
#   postrm that call ldconfig; Debian wants the ldconfig trigger instead,
#   which the runtime package carries (its "triggers" control file), so the
#   two scripts are dropped;
# - both are "Multi-Arch: same": their files lie in the architecture's own
#   library directory or are the same bytes on every architecture, so the
#   packages of several architectures can be installed side by side.
# Each is unpacked and packed again with root as the owner of every file.
find_program(Q583_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^(${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}|${CPACK_DEBIAN_DEV_PACKAGE_NAME})_.*\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${Q583_DPKG_DEB} -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND ${Q583_DPKG_DEB} --root-owner-group -b "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
