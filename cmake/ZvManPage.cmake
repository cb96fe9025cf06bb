cmake_policy(VERSION 3.25)
# Writes OUTPUT, the manual page of PROGRAM, with HELP2MAN: its --help and
# --version, one COMMANDS section holding the --help of each command its
# help lists under "Subcommands:", and the sections of INCLUDE (help2man's
# include format); and OUTPUT.gz, compressed as manual pages are installed.
# The program runs in the C locale, so the page is English.
unset(ENV{LANGUAGE})
set(ENV{LC_ALL} C)

function(help out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} --help RESULT_VARIABLE failed
                  OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${failed}): ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help(main)
string(REGEX MATCH "\nSubcommands:\n(([ ]+[^\n]*\n)+)" listing "${main}")
string(REGEX MATCHALL "\n  [a-z][a-z-]*" commands "\n${CMAKE_MATCH_1}")
if(NOT commands)
  message(FATAL_ERROR "${PROGRAM} --help lists no command")
endif()
set(page "[COMMANDS]\n")
foreach(command IN LISTS commands)
  string(STRIP "${command}" command)
  help(text ${command})
  # Shown as it is printed: no filling, a backslash as itself, and no
  # line taken for a request.
  string(REGEX REPLACE "\n+$" "" text "${text}")
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "\n" "\n\\&" text "\\&${text}")
  string(APPEND page ".SS \"${command}\"\n.nf\n${text}\n.fi\n")
endforeach()
file(READ ${INCLUDE} fixed)
file(WRITE ${OUTPUT}.h2m "${page}\n${fixed}")
execute_process(COMMAND ${HELP2MAN} --no-info --section=1
                        --include=${OUTPUT}.h2m --output=${OUTPUT} ${PROGRAM}
                RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "help2man failed: ${errors}")
endif()
execute_process(COMMAND gzip -9 -n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
