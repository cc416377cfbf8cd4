# The Windows SDK: import libraries that hosts can link, and the zip that
# holds the DLL, the header, the export list, both import libraries and a
# README on linking ("cmake --build BUILD --target sdk_zip").
#
# Q583_SP.def exports every function under its plain name, while callers of
# a 32-bit __stdcall function refer to it as _NAME@N (N: bytes of arguments).
# The import library the linker writes knows only the plain names, so both
# import libraries are made by dlltool from the decorated list with
# --kill-at: the symbols are _NAME@N and __imp__NAME@N, the name looked up in
# the DLL is NAME.
set(Q583_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/src/library/Q583_SP.def)
if(NOT EXISTS ${Q583_DEF_FILE})
  return()
endif()

find_program(Q583_DLLTOOL NAMES ${CMAKE_DLLTOOL} ${CMAKE_C_COMPILER_TARGET}-dlltool dlltool)
if(NOT Q583_DLLTOOL)
  message(STATUS "dlltool not found: no import libraries for hosts, no SDK zip")
  return()
endif()

# "NAME = NAME@N" becomes "NAME@N".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${Q583_DEF_FILE})
file(READ ${Q583_DEF_FILE} q583_def)
string(REGEX REPLACE "[A-Za-z_][A-Za-z0-9_]* *= *([A-Za-z_][A-Za-z0-9_]*@[0-9]+)" "\\1" q583_def "${q583_def}")
string(REGEX REPLACE "^;[^\n]*\n(;[^\n]*\n)*" "" q583_def "${q583_def}")
set(Q583_STDCALL_DEF ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP-stdcall.def)
file(WRITE ${Q583_STDCALL_DEF}
  "; Q583_SP.dll with the __stdcall names its callers use; for dlltool --kill-at.\n${q583_def}")

# The build's own import library (what find_package hosts and the dev install
# get), rewritten after each link.
# dlltool names the archive's members after --temp-prefix (else after the
# output path) and writes its temporary files there: each run has its own
# directory.
function(q583_dlltool_command output workdir)
  set(q583_dlltool_args
    COMMAND ${CMAKE_COMMAND} -E make_directory ${workdir}
    COMMAND ${CMAKE_COMMAND} -E chdir ${workdir}
            ${Q583_DLLTOOL} --kill-at --input-def ${Q583_STDCALL_DEF}
            --dllname $<TARGET_FILE_NAME:Q583_SP> --temp-prefix Q583_SP --output-lib ${output}
    PARENT_SCOPE)
endfunction()

# The build's own import library (what find_package hosts and the dev install
# get), rewritten after each link.
q583_dlltool_command($<TARGET_LINKER_FILE:Q583_SP> ${CMAKE_CURRENT_BINARY_DIR}/implib-mingw)
add_custom_command(TARGET Q583_SP POST_BUILD ${q583_dlltool_args}
  COMMENT "Import library of Q583_SP.dll with the __stdcall names"
  VERBATIM)

# The one for Microsoft's linker, named as it expects.
set(Q583_MSVC_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP.lib)
q583_dlltool_command(${Q583_MSVC_IMPLIB} ${CMAKE_CURRENT_BINARY_DIR}/implib-msvc)
add_custom_command(OUTPUT ${Q583_MSVC_IMPLIB} ${q583_dlltool_args}
  DEPENDS ${Q583_STDCALL_DEF}
  COMMENT "Import library for Microsoft's linker (Q583_SP.lib)"
  VERBATIM)

set(Q583_SDK_NAME Q583_SP-${PROJECT_VERSION}-win32-sdk)
set(Q583_SDK_STAGE ${CMAKE_CURRENT_BINARY_DIR}/sdk/${Q583_SDK_NAME})
set(Q583_SDK_ZIP ${CMAKE_CURRENT_BINARY_DIR}/${Q583_SDK_NAME}.zip)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/sdk-README.txt.in
  ${CMAKE_CURRENT_BINARY_DIR}/sdk-README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/LICENSE
  ${CMAKE_CURRENT_BINARY_DIR}/sdk-LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

add_custom_command(OUTPUT ${Q583_SDK_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${Q583_SDK_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${Q583_SDK_STAGE}/bin ${Q583_SDK_STAGE}/include
          ${Q583_SDK_STAGE}/lib
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Q583_SP> ${Q583_SDK_STAGE}/bin/
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/include/q583_sp.h
          ${Q583_SDK_STAGE}/include/
  COMMAND ${CMAKE_COMMAND} -E copy ${Q583_DEF_FILE} ${Q583_SDK_STAGE}/lib/
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:Q583_SP> ${Q583_SDK_STAGE}/lib/
  COMMAND ${CMAKE_COMMAND} -E copy ${Q583_MSVC_IMPLIB} ${Q583_SDK_STAGE}/lib/
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/sdk-README.txt
          ${Q583_SDK_STAGE}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/sdk-LICENSE.txt
          ${Q583_SDK_STAGE}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -E rm -f ${Q583_SDK_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_CURRENT_BINARY_DIR}/sdk
          ${CMAKE_COMMAND} -E tar cf ${Q583_SDK_ZIP} --format=zip ${Q583_SDK_NAME}
  DEPENDS Q583_SP ${Q583_MSVC_IMPLIB} ${Q583_DEF_FILE} ${CMAKE_CURRENT_SOURCE_DIR}/include/q583_sp.h
          ${CMAKE_CURRENT_BINARY_DIR}/sdk-README.txt ${CMAKE_CURRENT_BINARY_DIR}/sdk-LICENSE.txt
  COMMENT "Windows SDK: ${Q583_SDK_NAME}.zip"
  VERBATIM)
add_custom_target(sdk_zip DEPENDS ${Q583_SDK_ZIP})
