cmake_policy(VERSION 3.25)
# zvfile speaks the language the locale variables ask for (which variable
# counts when is the translation service's test): each row sets some of
# LANGUAGE, LC_ALL, LC_MESSAGES and LANG, leaves the others unset, saves a
# file and names the words its refusal must hold: for a name without a
# file, and in German for a read-only design, one line that names it.
#   cmake -DZVFILE=<program> -DWORK=<folder> [-DEMULATOR=<runner, separated by spaces>] -P languages_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${emulator} ${ZVFILE} save pump.zvd --objects 3
                WORKING_DIRECTORY ${WORK} OUTPUT_QUIET)
file(CHMOD ${WORK}/pump.zvd PERMISSIONS OWNER_READ GROUP_READ WORLD_READ) # Windows: the read-only attribute
set(rows
  "LANGUAGE=de LANG=fr_FR.UTF-8" .zvd     "Die Datei muss einen Namen haben"
  "LANGUAGE=de LC_ALL=C"         .zvd     "The file must have a name"
  "LANG=de_DE.UTF-8"             pump.zvd "^zvfile: 'pump.zvd' kann nicht gespeichert werden: Eine schreibgesch[^\n]*\n$")
while(rows)
  list(POP_FRONT rows variables file words)
  separate_arguments(variables UNIX_COMMAND "${variables}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LANGUAGE --unset=LC_ALL --unset=LC_MESSAGES --unset=LANG
                          ${variables} ${emulator} ${ZVFILE} save ${file}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT code EQUAL 1 OR NOT errors MATCHES "${words}")
    message(SEND_ERROR "${variables} zvfile save ${file}: exit ${code}, not '${words}': ${errors}")
  endif()
endwhile()
file(CHMOD ${WORK}/pump.zvd PERMISSIONS OWNER_READ OWNER_WRITE)
file(REMOVE_RECURSE ${WORK})
