cmake_policy(VERSION 3.25)
# Fails unless the message template TEMPLATE holds exactly the texts that
# EXTRACT (an xgettext command line) finds in the sources today, and every
# language in PO_FILES translates all of them (fuzzy and empty
# translations count as missing). Runs in the source tree.
execute_process(COMMAND ${EXTRACT} --output=${OUTPUT} RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "Extracting the texts failed:\n${errors}")
endif()

set(problems "")
# msgcmp DEF REF: every message of REF must be in DEF.
function(compare def ref what)
  execute_process(COMMAND ${MSGCMP} ${ARGN} ${def} ${ref} RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed)
    set(problems "${problems}\n${what}:\n${errors}" PARENT_SCOPE)
  endif()
endfunction()

compare(${TEMPLATE} ${OUTPUT} "Texts of the sources missing from the template" --use-untranslated)
compare(${OUTPUT} ${TEMPLATE} "Texts of the template no longer in the sources" --use-untranslated)
foreach(po IN LISTS PO_FILES)
  cmake_path(GET po FILENAME language)
  compare(${po} ${OUTPUT} "Texts without translation in ${language}")
endforeach()

if(problems)
  message(FATAL_ERROR "${problems}\nBuild the target zvfileio_pot to update the template and the languages, "
                      "then translate what is new.")
endif()
message(STATUS "Every text is in the template and translated in every language")
