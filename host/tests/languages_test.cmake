cmake_policy(VERSION 3.25)
# zvfile speaks the language the locale variables ask for: each row sets
# some of LANGUAGE, LC_ALL, LC_MESSAGES and LANG, leaves the others unset,
# and names words the refusal of a design without a name must hold. Then a read-only design's refusal
# in German is one line that names the design.
#   cmake -DZVFILE=<program> -DWORK=<folder> [-DEMULATOR=<runner, separated by spaces>] -P languages_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(unset --unset=LANGUAGE --unset=LC_ALL --unset=LC_MESSAGES --unset=LANG)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# zvfile(<variables> <arguments>...): runs zvfile in WORK with the locale
# variables given (NAME=VALUE, separated by spaces).
function(zvfile variables)
  separate_arguments(variables UNIX_COMMAND "${variables}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${unset} ${variables} ${emulator} ${ZVFILE} ${ARGN}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  set(code "${code}" PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

set(rows
  "LANGUAGE=de LANG=fr_FR.UTF-8"         "Die Datei muss einen Namen haben"
  "LANG=de_DE.UTF-8"                     "Die Datei muss einen Namen haben"
  "LC_MESSAGES=de_AT.UTF-8 LANG=fr_FR"   "Die Datei muss einen Namen haben"
  "LANGUAGE=en_GB:de LANG=de_DE.UTF-8"   "The file must have a name"
  "LANGUAGE=de LC_ALL=C"                 "The file must have a name"
  "LANGUAGE=de"                          "The file must have a name")
while(rows)
  list(POP_FRONT rows variables words)
  zvfile("${variables}" save .zvd)
  if(NOT code EQUAL 1 OR NOT errors MATCHES "${words}")
    message(SEND_ERROR "${variables} zvfile save .zvd: exit ${code}, expected '${words}': ${errors}")
  endif()
endwhile()

zvfile(LC_ALL=C save pump.zvd --objects 3)
file(CHMOD ${WORK}/pump.zvd PERMISSIONS OWNER_READ GROUP_READ WORLD_READ) # Windows: the read-only attribute
zvfile(LANG=de_DE.UTF-8 save pump.zvd)
string(REGEX MATCHALL "\n" breaks "${errors}")
list(LENGTH breaks lines)
if(NOT code EQUAL 1 OR NOT lines EQUAL 1
   OR NOT errors MATCHES "^zvfile: 'pump.zvd' kann nicht gespeichert werden: Eine schreibgesch")
  message(SEND_ERROR "a read-only design's refusal in German: exit ${code}: ${errors}")
endif()
file(CHMOD ${WORK}/pump.zvd PERMISSIONS OWNER_READ OWNER_WRITE)
string(STRIP "${errors}" errors)
message(STATUS "LANG=de_DE.UTF-8 zvfile save pump.zvd (read-only): ${errors}")
file(REMOVE_RECURSE ${WORK})
