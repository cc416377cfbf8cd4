# Man pages of the programs, made at build time from their --help by
# help2man and installed with them (component tools).  Without help2man, in
# a cross build (whose programs do not run here) or with Q583_MAN_PAGES off
# (the sanitizer presets: nothing there is installed) there are none.
option(Q583_MAN_PAGES "Make the programs' man pages (help2man)" ON)
find_program(Q583_HELP2MAN help2man)
find_program(Q583_GZIP gzip)
if(Q583_MAN_PAGES AND NOT CMAKE_CROSSCOMPILING AND (NOT Q583_HELP2MAN OR NOT Q583_GZIP))
  message(STATUS "help2man or gzip not found: no man pages")
endif()

# q583_man_page(TARGET "what it is" [INCLUDE FILE]): TARGET.1.gz in section 1.
# INCLUDE adds help2man sections of its own (see help2man --include).
function(q583_man_page target summary)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "INCLUDE" "")
  if(NOT Q583_MAN_PAGES OR CMAKE_CROSSCOMPILING OR NOT Q583_HELP2MAN OR NOT Q583_GZIP)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(include_args)
  set(include_deps)
  if(arg_INCLUDE)
    set(include_args --include=${arg_INCLUDE})
    set(include_deps ${arg_INCLUDE})
  endif()
  # --version-string: help2man would otherwise run "TARGET --version", which
  # means something else to q583-sim.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${Q583_HELP2MAN} --no-info --section=1 --name=${summary}
            --version-string=${PROJECT_VERSION} ${include_args}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${Q583_GZIP} -9nf ${page}
    DEPENDS ${target} ${include_deps}
    COMMENT "Man page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
