cmake_policy(VERSION 3.25)
# The ABI of every shared library installed in PREFIX/lib against its
# baseline BASELINE_DIR/<soname>.abi, by MODE:
#   check  fails when a library's ABI changed other than by additions
#          (ABIDIFF: new functions and variables are compatible; a removed
#          or changed function, variable or type is not), and when a
#          library has no baseline or a baseline no library
#   renew  writes the baselines anew from the libraries (after an
#          intended change of the ABI)
# The dumps are made with ABIDW from the libraries' debug information,
# without the C++ library's types (SUPPRESSIONS), and name source files
# relative to SOURCE_DIR so that they do not depend on where the tree lies.
# WORK receives the dumps of a check.
file(GLOB libraries ${PREFIX}/lib/lib*.so.*.*)
if(NOT libraries)
  message(FATAL_ERROR "No shared library in ${PREFIX}/lib")
endif()
file(MAKE_DIRECTORY ${WORK})
file(GLOB baselines RELATIVE ${BASELINE_DIR} ${BASELINE_DIR}/*.abi)
set(failures "")
foreach(library IN LISTS libraries)
  # libzvfileio-filelock.so.1.0.0 -> its SONAME libzvfileio-filelock.so.1
  cmake_path(GET library FILENAME soname)
  string(REGEX REPLACE "^(lib[^.]+\\.so\\.[0-9]+)\\..*$" "\\1" soname "${soname}")
  set(dump ${WORK}/${soname}.abi)
  execute_process(COMMAND ${ABIDW} --suppressions ${SUPPRESSIONS} --no-corpus-path --no-comp-dir-path
                          --no-show-locs --drop-private-types --out-file ${dump} ${library}
                  RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "abidw failed on ${library}: ${errors}")
  endif()
  file(READ ${dump} abi)
  if(NOT abi MATCHES "<function-decl ")
    message(FATAL_ERROR "${library} has no debug information to take its ABI from")
  endif()
  string(REPLACE "'${SOURCE_DIR}/" "'" abi "${abi}")
  file(WRITE ${dump} "${abi}")
  set(baseline ${BASELINE_DIR}/${soname}.abi)
  list(REMOVE_ITEM baselines ${soname}.abi)
  if(MODE STREQUAL "renew")
    file(COPY_FILE ${dump} ${baseline} ONLY_IF_DIFFERENT)
    message(STATUS "${baseline} written")
    continue()
  endif()
  if(NOT EXISTS ${baseline})
    list(APPEND failures "${soname} has no baseline")
    continue()
  endif()
  # Additions are compatible: they are left out of the verdict, then shown.
  execute_process(COMMAND ${ABIDIFF} --no-added-syms ${baseline} ${dump}
                  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(NOT status EQUAL 0)
    list(APPEND failures "${soname} (abidiff ${status}):\n${report}")
    continue()
  endif()
  execute_process(COMMAND ${ABIDIFF} ${baseline} ${dump} OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(report STREQUAL "")
    message(STATUS "${soname}: as its baseline")
  else()
    message(STATUS "${soname}: compatible additions\n${report}")
  endif()
endforeach()
foreach(baseline IN LISTS baselines)
  if(MODE STREQUAL "renew")
    file(REMOVE ${BASELINE_DIR}/${baseline})
  else()
    list(APPEND failures "${baseline} is the baseline of no installed library")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "The ABI changed incompatibly. If the change is intended, renew the baselines "
                      "(make abi-baseline) and commit them with it.\n${text}")
endif()
