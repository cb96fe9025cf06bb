cmake_policy(VERSION 3.25)
# Two zvfile processes save one design at the same moment, three times over
# (the contention test runs many more rounds, with contents fixed in
# advance; this one looks for lost updates): one grows the design to 50000
# objects, the other rewrites it keeping as many objects as it finds. Both
# must succeed, the design must open holding what one of them wrote after
# the other (never the second save's content made from the design as it was
# before the first: a lost update), and nothing may be left beside it. At
# least one round must have made one save wait for the other, or the check
# proved nothing.
#   cmake -DZVFILE=<program> -DWORK=<folder> [-DEMULATOR=<runner, separated by spaces>] -P two_saves_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
set(zvfile ${emulator} ${ZVFILE})
# The design goes by a name relative to WORK: an emulator maps the folder
# itself.
set(design pump.zvd)

function(zvfile)
  execute_process(COMMAND ${zvfile} ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "zvfile ${ARGN} failed (${failed}):\n${output}${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

set(waited 0)
foreach(round RANGE 1 3)
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  zvfile(save ${design} --objects 1000 --data-revision start)
  # Commands of one execute_process run at once (the first one's output
  # goes to the second one's input, which it never reads).
  execute_process(COMMAND ${zvfile} save ${design} --objects 50000 --data-revision grown --wait 60
                  COMMAND ${zvfile} save ${design} --data-revision kept --wait 60
                  WORKING_DIRECTORY ${WORK} RESULTS_VARIABLE codes OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT codes STREQUAL "0;0")
    message(FATAL_ERROR "round ${round}: the saves ended with ${codes}:\n${errors}")
  endif()
  if(errors MATCHES "is being saved by another program; waiting")
    math(EXPR waited "${waited} + 1")
  endif()
  zvfile(info ${design} --json)
  string(JSON revision GET "${output}" dataRevision)
  string(JSON objects GET "${output}" objects)
  if(NOT "${revision}:${objects}" MATCHES "^(grown|kept):50000$")
    message(FATAL_ERROR "round ${round}: the design holds '${revision}' with ${objects} objects:\n${output}")
  endif()
  file(GLOB left RELATIVE ${WORK} ${WORK}/*)
  if(NOT left STREQUAL design)
    message(FATAL_ERROR "round ${round}: the folder holds ${left}")
  endif()
endforeach()
if(waited EQUAL 0)
  message(FATAL_ERROR "the two saves never overlapped")
endif()
message(STATUS "two saves at once: both done, the design whole; one waited for the other in ${waited} of 3 rounds")
