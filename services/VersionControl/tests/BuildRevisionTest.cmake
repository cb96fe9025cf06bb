cmake_policy(VERSION 3.25)
# The revision SCRIPT (cmake/BuildRevision.cmake) records for the project of
# version VERSION in each kind of source tree, made in WORK from the sources
# in SOURCE_DIR: a copy, a copy inside another repository, the checkout
# itself, git's archive of its HEAD, that archive committed into a
# packaging repository of its own, and the archive with ZV_BUILD_REVISION. Where git or a checkout is
# missing (sources unpacked from an archive, as CI may have them), the rows
# that need them are left out and named.

unset(ENV{GIT_DIR})
unset(ENV{GIT_WORK_TREE})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
find_program(GIT git)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

# commit_all(<folder>): a new repository in <folder> holding all it holds.
function(commit_all folder)
  run(${GIT} -C ${folder} init -q)
  run(${GIT} -C ${folder} add -A)
  run(${GIT} -C ${folder} -c user.name=Packager -c user.email=packager@example.org commit -q -m Imported)
endfunction()

# A copy of the sources as they are, no archive: .git_archival.txt keeps
# its placeholders.
file(MAKE_DIRECTORY ${WORK}/copy)
file(COPY ${SOURCE_DIR}/.git_archival.txt ${SOURCE_DIR}/CMakeLists.txt DESTINATION ${WORK}/copy)

# Each row: what the tree is, its folder, ZV_BUILD_REVISION ("-": none),
# and the revision expected (a regular expression).
set(rows "a copy of the sources|${WORK}/copy|-|^${VERSION}$")
if(GIT)
  file(COPY ${WORK}/copy/ DESTINATION ${WORK}/outer/src)
  file(WRITE ${WORK}/outer/README "Someone else's project\n")
  commit_all(${WORK}/outer)
  list(APPEND rows "a copy inside another repository|${WORK}/outer/src|-|^${VERSION}$")
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --show-toplevel OUTPUT_VARIABLE top
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    file(REAL_PATH ${top} top)
    file(REAL_PATH ${SOURCE_DIR} source)
  endif()
  if(NOT failed AND top STREQUAL source)
    run(${GIT} -C ${SOURCE_DIR} rev-parse --short HEAD)
    set(head ${output})
    run(${GIT} -C ${SOURCE_DIR} archive --format=tar -o ${WORK}/release.tar HEAD)
    file(MAKE_DIRECTORY ${WORK}/release ${WORK}/packaging)
    foreach(folder IN ITEMS release packaging)
      run(${CMAKE_COMMAND} -E chdir ${WORK}/${folder} ${CMAKE_COMMAND} -E tar xf ${WORK}/release.tar)
    endforeach()
    # A distribution's repository: the release imported, its own folder
    # beside, a patch not yet committed.
    file(WRITE ${WORK}/packaging/debian/changelog "persistence-zvfileio (${VERSION}-1) unstable; urgency=medium\n")
    commit_all(${WORK}/packaging)
    file(APPEND ${WORK}/packaging/CMakeLists.txt "# patched\n")
    list(APPEND rows
      "the checkout|${SOURCE_DIR}|-|^${head}(-dirty)?$"
      "git's archive of the checkout|${WORK}/release|-|^${VERSION}\\+${head}$"
      "the archive in a packaging repository|${WORK}/packaging|-|^${VERSION}\\+${head}$"
      "the archive, with a revision given|${WORK}/release|release 7|^release 7$")
  else()
    message(STATUS "Not tried: the checkout and its archive (${SOURCE_DIR} is no checkout's top)")
  endif()
else()
  message(STATUS "Not tried: every tree in a repository (no git)")
endif()

foreach(row IN LISTS rows)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 folder)
  list(GET row 2 override)
  list(GET row 3 expected)
  if(override STREQUAL "-")
    set(override "")
  endif()
  file(REMOVE ${WORK}/revision.cpp)
  run(${CMAKE_COMMAND} -DSOURCE_DIR=${folder} -DOUTPUT=${WORK}/revision.cpp -DVERSION=${VERSION}
      "-DOVERRIDE=${override}" -P ${SCRIPT})
  file(READ ${WORK}/revision.cpp source)
  string(REGEX MATCH "kRevision = \"([^\"]*)\"" found "${source}")
  set(revision "${CMAKE_MATCH_1}")
  if(NOT revision MATCHES "${expected}")
    message(FATAL_ERROR "${name} (${folder}): the revision is '${revision}', not ${expected}")
  endif()
  message(STATUS "${name}: ${revision}")
endforeach()
