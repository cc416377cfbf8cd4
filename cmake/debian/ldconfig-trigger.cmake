# Run by cpack after it has written the .deb files (CPACK_POST_BUILD_SCRIPTS).
# CPack gives any package with a library under /usr/lib a postinst and a
# postrm that call ldconfig, and offers no switch against it; Debian wants the
# ldconfig trigger instead, which the runtime package carries (its "triggers"
# control file).  So the runtime package is unpacked, the two scripts are
# dropped, and it is packed again with root as the owner of every file.
find_program(Q583_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}_.*\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${Q583_DPKG_DEB} -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND ${Q583_DPKG_DEB} --root-owner-group -b "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
