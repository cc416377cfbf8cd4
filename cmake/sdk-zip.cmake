# Puts the Windows SDK zip together from the folders that the 32-bit and the
# 64-bit mingw-w64 builds stage (target sdk_arch):
#
#   cmake -DX86=BUILD32/sdk/x86 -DX64=BUILD64/sdk/x64 -DOUTPUT_DIR=DIR -P cmake/sdk-zip.cmake
#
# DIR/Q583_SP-<version>-win32-sdk.zip holds README.txt, LICENSE.txt (both
# with Windows line ends), include/q583_sp.h, x86/ and x64/.  LICENSE.txt is
# the project's licence followed by the notices of winpthreads, which the
# DLLs have linked in.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
foreach(var X86 X64 OUTPUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "sdk-zip: -D${var}=... is missing")
  endif()
endforeach()
foreach(dir ${X86} ${X64})
  if(NOT EXISTS ${dir}/Q583_SP.dll)
    message(FATAL_ERROR "sdk-zip: no Q583_SP.dll in ${dir} (build the target sdk_arch)")
  endif()
endforeach()

file(STRINGS ${source}/CMakeLists.txt project_line REGEX "^project\\(Q583_SP VERSION")
string(REGEX REPLACE ".*VERSION ([0-9.]+).*" "\\1" PROJECT_VERSION "${project_line}")
set(name Q583_SP-${PROJECT_VERSION}-win32-sdk)
set(work ${OUTPUT_DIR}/sdk-zip)
set(stage ${work}/${name})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${stage}/include)
configure_file(${source}/cmake/sdk-README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)
file(READ ${source}/LICENSE licence)
file(READ ${source}/cmake/sdk-winpthreads-notice.txt winpthreads_notice)
file(WRITE ${work}/LICENSE.txt "${licence}${winpthreads_notice}")
configure_file(${work}/LICENSE.txt ${stage}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
file(COPY ${source}/include/q583_sp.h DESTINATION ${stage}/include)
file(COPY ${X86}/ DESTINATION ${stage}/x86)
file(COPY ${X64}/ DESTINATION ${stage}/x64)
file(REMOVE ${OUTPUT_DIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip ${name}
  WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${work})
message(STATUS "Windows SDK: ${OUTPUT_DIR}/${name}.zip")
