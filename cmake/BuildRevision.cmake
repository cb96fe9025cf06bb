cmake_policy(VERSION 3.25)
# Writes OUTPUT, a source file defining the build's source revision, the
# first of:
#   OVERRIDE, when given
#   "<VERSION>+<short hash>" when SOURCE_DIR came from `git archive` (its
#       .git_archival.txt has the commit filled in): a release tarball
#       names its commit, whatever repository it was unpacked into since
#       (a distribution's packaging repository is not this software's)
#   git's short commit hash (with "-dirty" when tracked files have
#       changes) when SOURCE_DIR is the top of a git checkout
#   VERSION: no git, or SOURCE_DIR lies inside some other repository,
#       whose commits say nothing of this software
# The file is rewritten only when the revision changed, so an unchanged
# tree rebuilds nothing.

# git(<out> <argument>...): git's output in SOURCE_DIR; empty when it fails.
function(git out)
  execute_process(COMMAND git -C ${SOURCE_DIR} ${ARGN} OUTPUT_VARIABLE output OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(output "")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

set(revision "")
if(OVERRIDE)
  set(revision "${OVERRIDE}")
endif()
if(NOT revision AND EXISTS ${SOURCE_DIR}/.git_archival.txt)
  # Filled in by `git archive` (export-subst); a checkout has the placeholders.
  file(STRINGS ${SOURCE_DIR}/.git_archival.txt commit REGEX "^node-short: [0-9a-f]+$")
  if(commit)
    string(REGEX REPLACE "^node-short: " "" commit "${commit}")
    set(revision "${VERSION}+${commit}")
  endif()
endif()
if(NOT revision)
  git(top rev-parse --show-toplevel)
  if(top)
    file(REAL_PATH ${top} top)
    file(REAL_PATH ${SOURCE_DIR} source)
  endif()
  if(top AND top STREQUAL source)
    git(revision rev-parse --short HEAD)
  endif()
  if(revision)
    git(changes status --porcelain --untracked-files=no)
    if(NOT changes STREQUAL "")
      string(APPEND revision "-dirty")
    endif()
  endif()
endif()
if(NOT revision)
  set(revision "${VERSION}")
endif()

set(content "// Generated at build time; do not edit.\nnamespace zv_build { extern const char* const kRevision; const char* const kRevision = \"${revision}\"; }\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
