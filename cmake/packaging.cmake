# Debian packages through CPack ("cpack -G DEB" in a build configured with
# CMAKE_INSTALL_PREFIX=/usr; scripts/package.sh does both), split as Debian
# splits a shared library:
#   libq583-sp<SOVERSION>  component runtime  section libs
#   libq583-sp-dev         component dev      section libdevel
#   q583-tools             component tools    section science
# The dependencies on system libraries are computed by dpkg-shlibdeps; the
# runtime package carries a shlibs file, so packages built against it depend
# on it in turn.
get_target_property(Q583_SOVERSION Q583_SP SOVERSION)
set(Q583_RUNTIME_PACKAGE libq583-sp${Q583_SOVERSION})
set(Q583_PACKAGE_RELEASE 1)
set(Q583_PACKAGE_MAINTAINER "Q583_SP developers <q583-sp@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME q583-sp)
set(CPACK_PACKAGE_VENDOR "Q583_SP developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${Q583_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${Q583_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The tools link the library of the runtime package, built alongside.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${Q583_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "driver library for the Q583 serial-port A/D instrument
The Q583 is a six-channel serial-port A/D instrument (up to sixteen
sub-channels per main channel, 16- or 24-bit conversions, gain 1-128,
digital I/O, internal calibration and its own scan timer).  Host programs
call the library's C functions to configure the instrument, sign it on, take
single conversions, drive digital I/O, calibrate, and run background scans
whose data they poll from a memory ring or read from scan log files.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libq583-sp-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${Q583_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}-${Q583_PACKAGE_RELEASE})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "driver library for the Q583 A/D instrument - development files
The Q583 is a six-channel serial-port A/D instrument.  This package holds
what host programs are built with: the header q583_sp.h, the link to the
shared library, the CMake package (find_package(Q583_SP), target
Q583_SP::Q583_SP) and the pkg-config file q583_sp.pc.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME q583-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
# dpkg-shlibdeps finds the library in the build, but not the package it
# comes in: that one is named here, the rest is computed.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "${Q583_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}-${Q583_PACKAGE_RELEASE})")
# q583 plot runs gnuplot; nothing else needs it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "gnuplot-nox | gnuplot")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line host program and simulator for the Q583 A/D instrument
q583 signs the Q583 instrument on, scans it with a live table and CSV
output, takes single conversions, drives digital I/O, calibrates, saves and
loads configurations and plots scan logs.
.
q583-sim plays the instrument on a pseudo-terminal, with settable inputs and
faults, for developing host software without the hardware.")

# Each package's copyright file and Debian changelog, in
# /usr/share/doc/<package> as Debian policy places them.
# q583-tools' adds the licence of CLI11, which q583 is built with.
set(Q583_COPYRIGHT_BUNDLED "")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright.in
  ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright @ONLY)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright-cli11 Q583_COPYRIGHT_BUNDLED)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright.in
  ${CMAKE_CURRENT_BINARY_DIR}/debian/tools/copyright @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog.in
  ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian @ONLY)
# gzip -n: no name or time stamp inside, so the same changelog gives the same bytes.
find_program(Q583_GZIP gzip REQUIRED)
execute_process(COMMAND ${Q583_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian
  OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(q583_component runtime dev tools)
  string(TOUPPER ${q583_component} q583_upper)
  set(q583_copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright)
  if(q583_component STREQUAL "tools")
    set(q583_copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/tools/copyright)
  endif()
  install(FILES ${q583_copyright}
                ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${q583_upper}_PACKAGE_NAME}
    COMPONENT ${q583_component})
endforeach()

# The library's package asks for ldconfig by trigger; the maintainer scripts
# that CPack writes to call it are taken out after packing, and both library
# packages are marked Multi-Arch: same (cmake/debian/repack.cmake).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/repack.cmake)

include(CPack)
