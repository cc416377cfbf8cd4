# Writes a help2man include file with a section COMMANDS: the --help of every
# subcommand of a program (and of theirs), as the program prints it.
#   cmake -DPROGRAM=path -DNAME=q583 -DOUTPUT=file -P command-help-man.cmake
cmake_minimum_required(VERSION 3.25)

# The subcommands listed in the "Subcommands:" block of a --help text.
function(list_subcommands help out)
  string(REGEX MATCH "\nSubcommands:\n(  [^\n]*\n)+" block "${help}")
  string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${block}")
  list(TRANSFORM names STRIP)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# roff for a block of preformatted text.
function(roff_literal text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The man page indents the section's text by 7 columns: the help is wrapped
# at 73 so that the page fits 80.
function(describe words)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env COLUMNS=73 ${PROGRAM} ${words} --help
    OUTPUT_VARIABLE help RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${words} --help failed: ${result}")
  endif()
  # The program names itself by the path it was started with.
  string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
  if(words)
    list(JOIN words " " title)
    roff_literal("${help}" literal)
    string(STRIP "${literal}" literal)
    file(APPEND ${OUTPUT} ".SS \"${NAME} ${title}\"\n.nf\n${literal}\n.fi\n")
  endif()
  list_subcommands("${help}" subcommands)
  foreach(sub ${subcommands})
    set(deeper ${words})
    list(APPEND deeper ${sub})
    describe("${deeper}")
  endforeach()
endfunction()

file(WRITE ${OUTPUT} "[COMMANDS]\n")
describe("")
