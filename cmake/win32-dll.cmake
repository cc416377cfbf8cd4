# What the Windows DLL carries beside its code: a version resource (file and
# product version = the project's version), and no debug sections.  The
# static C++ runtime and winpthreads bring debug information and a symbol
# table along (about half of the DLL); both are kept beside the DLL in the
# build as Q583_SP.dll.debug, which the DLL names in its .gnu_debuglink
# section, so that gdb finds it.
enable_language(RC)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(Q583_SDK_BITS 64)
else()
  set(Q583_SDK_BITS 32)
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/Q583_SP.rc.in ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP.rc @ONLY)
target_sources(Q583_SP PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/Q583_SP.rc)

find_program(Q583_OBJCOPY NAMES ${Q583_MINGW_PREFIX}-objcopy objcopy)
if(Q583_OBJCOPY)
  add_custom_command(TARGET Q583_SP POST_BUILD
    COMMAND ${Q583_OBJCOPY} --only-keep-debug $<TARGET_FILE:Q583_SP> $<TARGET_FILE:Q583_SP>.debug
    COMMAND ${Q583_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:Q583_SP>.debug
            $<TARGET_FILE:Q583_SP>
    COMMENT "Debug information of Q583_SP.dll into Q583_SP.dll.debug"
    VERBATIM)
endif()
