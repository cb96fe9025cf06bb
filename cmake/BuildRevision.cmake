cmake_policy(VERSION 3.25)
# Writes OUTPUT, a source file defining the build's source revision:
# OVERRIDE when given, else git's short commit hash (with "-dirty" when
# tracked files have changes), else "unknown". The file is rewritten only
# when the revision changed, so an unchanged tree rebuilds nothing.
if(OVERRIDE)
  set(revision "${OVERRIDE}")
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} rev-parse --short HEAD
    OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR revision STREQUAL "")
    set(revision "unknown")
  else()
    execute_process(COMMAND git -C ${SOURCE_DIR} status --porcelain --untracked-files=no
      OUTPUT_VARIABLE changes ERROR_QUIET)
    if(NOT changes STREQUAL "")
      string(APPEND revision "-dirty")
    endif()
  endif()
endif()

set(content "// Generated at build time; do not edit.\nnamespace zv_build { extern const char* const kRevision; const char* const kRevision = \"${revision}\"; }\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
