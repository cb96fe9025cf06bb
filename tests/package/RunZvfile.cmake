cmake_policy(VERSION 3.25)
# The installed zvfile where a package may put it, by STEP:
#   noproc  runs PREFIX/bin/zvfile with /proc hidden (in a mount namespace
#           of its own, made with UNSHARE), as in a chroot or a container
#           without it: started by its full name, as ./zvfile from its
#           folder and through a link in another folder, its help, version
#           and demo say what they say with /proc
#   moved   installs BUILD_DIR into a prefix, moves the prefix elsewhere and
#           runs the demo there, then moves the program and its module
#           MODULE (relative to the prefix) into tools/zvfile/, beside each
#           other, and runs it again, the same
# No run has LD_LIBRARY_PATH: the program and its module find what they
# load themselves. WORK starts empty.
include(${CMAKE_CURRENT_LIST_DIR}/RunConsumer.cmake) # fail_if, run

# zvfile(<out> <folder> <hidden> <program> <argument>...): runs <program>
# in <folder> (with /proc hidden when <hidden>) and sets <out> to what it
# printed, WORK written as <work>; a failure fails the test.
function(zvfile out folder hidden program)
  set(command ${program} ${ARGN})
  if(hidden)
    set(command ${UNSHARE} --mount sh -c [[mount -t tmpfs none /proc && ! test -e /proc/self && exec "$@"]] sh
        ${command})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${command} WORKING_DIRECTORY ${folder}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  fail_if("${command} in ${folder} failed (${failed}):\n${output}" failed)
  string(REPLACE "${WORK}" "<work>" output "${output}")
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

if(STEP STREQUAL "noproc")
  set(program ${PREFIX}/bin/zvfile)
  file(MAKE_DIRECTORY ${WORK}/links)
  file(CREATE_LINK ${program} ${WORK}/links/zvfile SYMBOLIC)
  # Each start: the folder it starts in, and the name it is started by.
  set(starts ${WORK} ${program}  ${PREFIX}/bin ./zvfile  ${WORK}/links ./zvfile)
  foreach(arguments IN ITEMS --help --version "demo|${WORK}/story")
    string(REPLACE "|" ";" arguments "${arguments}")
    zvfile(expected ${WORK} FALSE ${program} ${arguments})
    set(each ${starts})
    while(each)
      list(POP_FRONT each folder name)
      file(REMOVE_RECURSE ${WORK}/story)
      zvfile(output ${folder} TRUE ${name} ${arguments})
      fail_if("zvfile ${arguments}, started as ${name} in ${folder} without /proc, printed\n${output}\ninstead of\n${expected}"
              NOT output STREQUAL expected)
    endwhile()
    file(REMOVE_RECURSE ${WORK}/story)
  endforeach()
  message(STATUS "Without /proc, zvfile demo printed:\n${output}")

elseif(STEP STREQUAL "moved")
  run("Installing" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/first)
  set(prefix ${WORK}/elsewhere/prefix)
  file(MAKE_DIRECTORY ${WORK}/elsewhere)
  file(RENAME ${WORK}/first ${prefix})
  zvfile(expected ${WORK} FALSE ${prefix}/bin/zvfile demo ${WORK}/story)
  file(REMOVE_RECURSE ${WORK}/story)
  set(tools ${prefix}/tools/zvfile)
  file(MAKE_DIRECTORY ${tools})
  cmake_path(GET MODULE FILENAME module)
  file(RENAME ${prefix}/bin/zvfile ${tools}/zvfile)
  file(RENAME ${prefix}/${MODULE} ${tools}/${module})
  zvfile(output ${WORK} FALSE ${tools}/zvfile demo ${WORK}/story)
  fail_if("zvfile demo in tools/zvfile/ printed\n${output}\ninstead of\n${expected}" NOT output STREQUAL expected)

else()
  message(FATAL_ERROR "STEP must be noproc or moved")
endif()
