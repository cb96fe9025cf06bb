cmake_policy(VERSION 3.25)
# zvfile given names outside ASCII as a user types them: a German name in
# a folder with an umlaut, a Chinese name, and one with an emoji (beyond
# the first 65,536 characters: two units of UTF-16). Each goes through
# save, info, autosave, recover and clean; every command succeeds and names
# the design or its copy exactly as typed, in UTF-8, and the files on disk
# bear those names. An emulator converts the command line it is given with
# the locale's character set: it runs in a UTF-8 locale, in English.
#   cmake -DZVFILE=<program> -DWORK=<folder> [-DEMULATOR=<runner>] -P names_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
cmake_path(GET ZVFILE PARENT_PATH dlls)
string(REPLACE "/" "\\" dlls "Z:${dlls}") # WINEPATH, for an emulator
set(zvfile ${CMAKE_COMMAND} -E env --unset=LANGUAGE LC_ALL=C.UTF-8 WINEPATH=${dlls} ${emulator} ${ZVFILE})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/Entwürfe)

# run(<said> <arguments>...): zvfile must succeed and print <said>.
function(run said)
  execute_process(COMMAND ${zvfile} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE errors)
  string(FIND "${out}" "${said}" at)
  if(NOT code EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "zvfile ${ARGN} ended with ${code}, printing\n${out}${errors}\nnot ${said}")
  endif()
endfunction()

# expect(<file> <there>): whether the folder holds <file> now.
function(expect file there)
  if(EXISTS ${WORK}/${file} AND NOT there OR NOT EXISTS ${WORK}/${file} AND there)
    message(FATAL_ERROR "'${file}' is there: ${there} expected")
  endif()
endfunction()

foreach(design IN ITEMS Entwürfe/Pumpe-Größe.zvd 泵站.zvd pump🚀.zvd)
  string(REGEX REPLACE "\\.zvd$" ".bak.zvd" copy "${design}")
  run("saved 3 objects to '${design}'" save ${design} --objects 3)
  expect(${design} YES)
  run("\"file\": \"${design}\"" info ${design} --json)
  run("${copy}" autosave ${design})
  run("recovered 3 objects of '${design}' from '${copy}'" recover ${design})
  expect(${copy} NO)
  run("${copy}" autosave ${design})
  run("deleted '${copy}'" clean ${design})
  expect(${copy} NO)
endforeach()
