cmake_policy(VERSION 3.25)
# Two zvfile processes save one design at the same moment, once for each
# pair of modes: one grows it from 1000 to 50000 objects, the other saves it
# keeping as many objects as it finds. Both succeed, nothing is left beside
# the design, and the design holds what the later one wrote: the one that
# waited for the other (each names the design its own way, so that its note
# tells which waited), or either when neither did. A later save that wrote
# what it found before the other's took effect, or wrote it where the other
# had already put a new file in place, is a lost update. At least one round
# must have made one save wait for the other, or the check proved nothing.
#   cmake -DZVFILE=<program> -DWORK=<folder> [-DEMULATOR=<runner, separated by spaces>] -P two_saves_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(zvfile ${CMAKE_COMMAND} -E env LC_ALL=C ${emulator} ${ZVFILE})
if(SAVE) # one of the saves run at once, below: its output dropped
  execute_process(COMMAND ${zvfile} save ${SAVE} WORKING_DIRECTORY ${WORK} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()
set(save ${CMAKE_COMMAND} -DZVFILE=${ZVFILE} -DEMULATOR=${EMULATOR} -DWORK=${WORK})
set(script -P ${CMAKE_CURRENT_LIST_FILE})

set(waited 0)
foreach(grower IN ITEMS overwrite update-all)
  foreach(keeper IN ITEMS overwrite update-all update-selected)
    file(REMOVE_RECURSE ${WORK})
    file(MAKE_DIRECTORY ${WORK})
    # Names relative to WORK: an emulator maps the folder itself.
    execute_process(COMMAND ${zvfile} save pump.zvd --objects 1000 --data-revision start
                    WORKING_DIRECTORY ${WORK} OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    # Commands of one execute_process run at once, the first one's output
    # piped to the second one, which may have ended before it writes: each
    # runs in a script of its own that drops its output.
    execute_process(COMMAND ${save} "-DSAVE=pump.zvd;--mode;${grower};--objects;50000;--data-revision;grown;--wait;60" ${script}
                    COMMAND ${save} "-DSAVE=./pump.zvd;--mode;${keeper};--data-revision;kept;--wait;60" ${script}
                    WORKING_DIRECTORY ${WORK} RESULTS_VARIABLE codes OUTPUT_QUIET ERROR_VARIABLE errors)
    execute_process(COMMAND ${zvfile} info pump.zvd --json WORKING_DIRECTORY ${WORK} OUTPUT_VARIABLE info)
    if(NOT codes STREQUAL "0;0")
      message(FATAL_ERROR "${grower} against ${keeper}: the saves ended with ${codes}:\n${errors}")
    endif()
    string(JSON revision GET "${info}" dataRevision)
    string(JSON objects GET "${info}" objects)
    set(later "(grown|kept)")
    if(errors MATCHES "'(\\./)?pump.zvd' is being saved by another program; waiting")
      math(EXPR waited "${waited} + 1")
      set(later grown)
      if(CMAKE_MATCH_1)
        set(later kept)
      endif()
    endif()
    file(GLOB left RELATIVE ${WORK} ${WORK}/*)
    if(NOT "${revision}:${objects}" MATCHES "^${later}:50000$" OR NOT left STREQUAL "pump.zvd")
      message(FATAL_ERROR "${grower} against ${keeper}: the design holds '${revision}' with ${objects} objects, "
                          "not what ${later} wrote, the folder ${left}:\n${errors}")
    endif()
  endforeach()
endforeach()
if(waited EQUAL 0)
  message(FATAL_ERROR "the two saves never overlapped")
endif()
