cmake_policy(VERSION 3.25)
# zvfile killed at each step of every road that writes a design: a rewrite,
# an update in place, an autosave and a first save. After
# each kill the file the road writes opens whole, as it was or as the road
# leaves it (a first save leaves nothing or the empty file it began with);
# the road let run afterwards, not held up by what the kill left (the lock,
# a temporary file), leaves the new version and no temporary file. Kills
# and power cuts between the steps are the crash-state table's
# (Host.EveryRoad...), which cuts every road at every point.
# STOPPABLE is the test build of the program, killed at the step
# ZVFILE_STOP_AT names (StopAtStep.cpp) and let run for any other; under
# an emulator its module finds the libraries beside ZVFILE.
#   cmake -DZVFILE=<program> -DSTOPPABLE=<program> -DWORK=<folder> [-DEMULATOR=<runner>] -P crash_test.cmake
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
cmake_path(GET ZVFILE PARENT_PATH dlls)
string(REPLACE "/" "\\" dlls "Z:${dlls}") # WINEPATH, for an emulator
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# run(<step> <arguments>...): the stoppable zvfile, which must be killed at
# <step>; with "end", let run, which must succeed.
function(run step)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C WINEPATH=${dlls} ZVFILE_STOP_AT=${step} ${emulator}
                          ${STOPPABLE} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE code OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(step STREQUAL "end" AND NOT code EQUAL 0 OR
     NOT step STREQUAL "end" AND (code EQUAL 0 OR NOT errors MATCHES "stopped at ${step}"))
    message(FATAL_ERROR "zvfile ${ARGN}, to end at ${step}, ended with ${code}: ${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

# state(<file> <variable>): "nothing" when <file> is missing or empty, else
# its data revision and object count; a file that does not open fails.
function(state file variable)
  set(${variable} nothing PARENT_SCOPE)
  if(EXISTS ${WORK}/${file})
    file(SIZE ${WORK}/${file} size)
  endif()
  if(size) # missing or empty: nothing
    run(end info ${file} --json)
    string(JSON revision GET "${output}" dataRevision)
    string(JSON objects GET "${output}" objects)
    set(${variable} "${revision}:${objects}" PARENT_SCOPE)
  endif()
endfunction()

run(end save big.zvd --objects 1000 --data-revision gen0)
run(end autosave big.zvd) # a copy for the killed autosaves to leave whole
# Each road: its mode (or autosave), the file it writes, the steps it is killed at.
set(roads overwrite  big.zvd     locked,prepared,writing,committed
          update-all big.zvd     locked,prepared,writing,committed
          autosave   big.bak.zvd locked,prepared,committed
          overwrite  first.zvd   locked,prepared,writing)
set(gen 0)
while(roads)
  list(POP_FRONT roads mode target steps)
  string(REPLACE "," ";" steps "${steps};end")
  state(${target} current)
  foreach(step IN LISTS steps)
    # Each save writes more objects than the last, so that an update's count is its own.
    math(EXPR gen "${gen} + 1")
    math(EXPR count "1000 + ${gen}")
    if(mode STREQUAL "autosave")
      set(args autosave big.zvd)
      state(big.zvd written) # the copy holds what the design holds
    else()
      set(args save ${target} --mode ${mode} --objects ${count} --data-revision gen${gen})
      set(written gen${gen}:${count})
    endif()
    run(${step} ${args})
    state(${target} found)
    file(GLOB temporary RELATIVE ${WORK} ${WORK}/*.tmp.zvd)
    if(NOT found STREQUAL written AND (step STREQUAL "end" OR NOT found STREQUAL current) OR
       step STREQUAL "end" AND temporary)
      message(FATAL_ERROR "${args} killed at ${step} left ${found} ${temporary}, neither ${current} nor ${written}")
    endif()
    set(current ${found})
  endforeach()
endwhile()
