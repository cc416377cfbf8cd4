# The Windows SDK: import libraries that hosts can link, and this build's
# part of the SDK zip.  A mingw-w64 build of either architecture stages its
# folder, x86/ or x64/, with the DLL, its export list and both import
# libraries ("cmake --build BUILD --target sdk_arch"); cmake/sdk-zip.cmake
# puts the two folders, the header, README.txt and LICENSE.txt into
# Q583_SP-<version>-win32-sdk.zip (scripts/package.sh does all of it).
#
# The 32-bit Q583_SP.def exports every function under its plain name, while
# callers of a 32-bit __stdcall function refer to it as _NAME@N (N: bytes of
# arguments).  The import library the linker writes knows only the plain
# names, so both import libraries are made by llvm-dlltool from the decorated
# list with --kill-at: the symbols are _NAME@N and __imp__NAME@N, the name
# looked up in the DLL is NAME.  On x64 the list has the plain names alone
# (see CMakeLists.txt), and the symbols are NAME and __imp_NAME.
#
# llvm-dlltool, not GNU dlltool: it writes short import objects, which
# Microsoft's linker and lld-link take into a 32-bit image built with
# /SAFESEH (the default of x86 projects), while GNU dlltool's members carry
# no SafeSEH mark and are refused there.  Its archives hold no path of the
# build either, so two builds of one commit give the same bytes.
if(NOT DEFINED Q583_DEF_FILE OR NOT EXISTS ${Q583_DEF_FILE})
  return()
endif()

find_program(Q583_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-19 llvm-dlltool-16 llvm-dlltool-14)
if(NOT Q583_LLVM_DLLTOOL)
  message(STATUS "llvm-dlltool not found (Debian package llvm): no import libraries for hosts, no SDK")
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(Q583_SDK_ARCH x64)
  set(Q583_DLLTOOL_MACHINE i386:x86-64)
else()
  set(Q583_SDK_ARCH x86)
  set(Q583_DLLTOOL_MACHINE i386 -k)  # -k: --kill-at
endif()

# "NAME = NAME@N" becomes "NAME@N" (nothing to change on x64).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${Q583_DEF_FILE})
file(READ ${Q583_DEF_FILE} q583_def)
string(REGEX REPLACE "[A-Za-z_][A-Za-z0-9_]* *= *([A-Za-z_][A-Za-z0-9_]*@[0-9]+)" "\\1" q583_def "${q583_def}")
string(REGEX REPLACE "^;[^\n]*\n(;[^\n]*\n)*" "" q583_def "${q583_def}")
set(Q583_STDCALL_DEF ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP-stdcall.def)
file(CONFIGURE OUTPUT ${Q583_STDCALL_DEF} CONTENT
  "; Q583_SP.dll with the names its callers use; for dlltool --kill-at.\n${q583_def}" @ONLY)

function(q583_dlltool_command output)
  set(q583_dlltool_args
    COMMAND ${Q583_LLVM_DLLTOOL} -m ${Q583_DLLTOOL_MACHINE} -d ${Q583_STDCALL_DEF}
            -D $<TARGET_FILE_NAME:Q583_SP> -l ${output}
    PARENT_SCOPE)
endfunction()

# The build's own import library (what find_package hosts and the dev install
# get), rewritten after each link.
q583_dlltool_command($<TARGET_LINKER_FILE:Q583_SP>)
add_custom_command(TARGET Q583_SP POST_BUILD ${q583_dlltool_args}
  COMMENT "Import library of Q583_SP.dll (${Q583_SDK_ARCH})"
  VERBATIM)

# The one for Microsoft's linker, named as it expects.
set(Q583_MSVC_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP.lib)
q583_dlltool_command(${Q583_MSVC_IMPLIB})
add_custom_command(OUTPUT ${Q583_MSVC_IMPLIB} ${q583_dlltool_args}
  DEPENDS ${Q583_STDCALL_DEF}
  COMMENT "Import library for Microsoft's linker (Q583_SP.lib, ${Q583_SDK_ARCH})"
  VERBATIM)

# This architecture's folder of the SDK.
set(Q583_SDK_ARCH_DIR ${CMAKE_CURRENT_BINARY_DIR}/sdk/${Q583_SDK_ARCH})
set(Q583_SDK_STAMP ${CMAKE_CURRENT_BINARY_DIR}/sdk/${Q583_SDK_ARCH}.stamp)
add_custom_command(OUTPUT ${Q583_SDK_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${Q583_SDK_ARCH_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${Q583_SDK_ARCH_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Q583_SP> ${Q583_DEF_FILE}
          $<TARGET_LINKER_FILE:Q583_SP> ${Q583_MSVC_IMPLIB} ${Q583_SDK_ARCH_DIR}/
  COMMAND ${CMAKE_COMMAND} -E touch ${Q583_SDK_STAMP}
  DEPENDS Q583_SP ${Q583_MSVC_IMPLIB} ${Q583_DEF_FILE}
  COMMENT "Windows SDK folder ${Q583_SDK_ARCH}/"
  VERBATIM)
add_custom_target(sdk_arch DEPENDS ${Q583_SDK_STAMP})
