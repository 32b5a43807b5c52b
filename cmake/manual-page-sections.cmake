# Writes the sections of a manual page that help2man cannot find in the program's --help: one
# section per subcommand with its own help (mavozarp), the presets (mavozarp-sim), then the page's
# hand-written sections. Run by the build:
# cmake -DPROGRAM=exe -DNAME=mavozarp -DPAGES=folder -DOUTPUT=file.h2m -P this file.
cmake_policy(VERSION 3.25)

# Text shown as it is printed: no filling, roff's escape and control characters made plain.
function(preformatted text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

function(run out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN}: exit status ${status}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(sections "")
if(NAME STREQUAL "mavozarp")
  # The subcommands as the tool's help lists them: the lines below "Subcommands:" that start
  # with two blanks, up to the next blank line.
  run(general --help)
  string(REGEX MATCH "Subcommands:\n(  [^\n]*\n)*" listed "${general}\n")
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" subcommands "${listed}")
  foreach(subcommand IN LISTS subcommands)
    string(STRIP "${subcommand}" subcommand)
    if(subcommand STREQUAL "help")
      continue()
    endif()
    run(subcommand_help ${subcommand} --help)
    preformatted("${subcommand_help}" body)
    string(APPEND sections "[SUBCOMMAND ${subcommand}]\n${body}")
    set(addition ${PAGES}/manual-page-${NAME}-${subcommand}.h2m)
    if(EXISTS ${addition})
      file(READ ${addition} text)
      string(APPEND sections "${text}")
    endif()
  endforeach()
elseif(NAME STREQUAL "mavozarp-sim")
  run(presets --list-presets)
  preformatted("${presets}" body)
  string(APPEND sections "[PRESETS]\nThe head presets, as --list-presets shows them:\n${body}")
endif()
file(READ ${PAGES}/manual-page-${NAME}.h2m own)
file(WRITE "${OUTPUT}.new" "${sections}${own}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
