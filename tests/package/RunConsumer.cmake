cmake_policy(VERSION 3.25)
# One step of the package tests (tests/package/CMakeLists.txt), by STEP:
#   install    installs the build BUILD_DIR into PREFIX, which starts empty
#   cmake      configures and builds CONSUMER_SOURCE against PREFIX with
#              CMake, runs it in WORK and compares its output with EXPECTED_FILE;
#              runs the editor session it also builds, killed and recovering
#   pkgconfig  the same, built with CXX_COMPILER and the package's .pc file
#   layout     checks what PREFIX holds, the files REQUIRED names ("|" between
#              them) among it
# WORK starts empty, so nothing of an earlier run can make a test pass. For a
# cross build, TOOLCHAIN is its toolchain file, LINK_FLAGS its programs' link
# flags and EMULATOR (separated by spaces) runs its programs, which find the
# package's DLLs through WINEPATH.
set(runner "")
if(EMULATOR)
  separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
  string(REPLACE "/" "\\" dlls "Z:${PREFIX}/bin")
  set(runner ${CMAKE_COMMAND} -E env "WINEPATH=${dlls}" ${emulator})
endif()
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${what} failed:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

# Runs the consumer `program` in WORK; its output must be EXPECTED_FILE's, with
# <revision> standing for the revision the installed zvfile reads from the
# design the consumer saved (without zvfile: the one it printed first).
function(check_consumer program)
  file(MAKE_DIRECTORY ${WORK}/run)
  execute_process(COMMAND ${runner} ${program} WORKING_DIRECTORY ${WORK}/run RESULT_VARIABLE failed
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(REPLACE "\r\n" "\n" output "${output}") # a Windows program's text output
  if(failed)
    message(FATAL_ERROR "The consumer failed (${failed}):\n${output}${errors}")
  endif()
  if(EXISTS ${PREFIX}/bin/zvfile${EXE_SUFFIX})
    execute_process(COMMAND ${runner} ${PREFIX}/bin/zvfile${EXE_SUFFIX} info pump.zvd --json
                    WORKING_DIRECTORY ${WORK}/run RESULT_VARIABLE failed OUTPUT_VARIABLE info ERROR_VARIABLE errors)
    if(failed)
      message(FATAL_ERROR "The installed zvfile cannot read the consumer's design (${failed}):\n${info}${errors}")
    endif()
    string(JSON revision GET "${info}" createdRevision)
  else()
    string(REGEX MATCH "\\(software revision ([^)]*)\\)" matched "${output}")
    set(revision "${CMAKE_MATCH_1}")
  endif()
  if(revision STREQUAL "")
    message(FATAL_ERROR "The consumer's design records no revision:\n${info}")
  endif()
  file(READ ${EXPECTED_FILE} expected)
  string(REPLACE "<revision>" "${revision}" expected "${expected}")
  if(NOT output STREQUAL expected)
    message(FATAL_ERROR "The consumer printed\n${output}\ninstead of\n${expected}")
  endif()
  message(STATUS "The consumer printed:\n${output}")
endfunction()

# Runs the editor session `program` in WORK/session twice: killed between an
# autosave and the save (exit code 3), then recovering; it checks itself.
function(check_session program)
  file(MAKE_DIRECTORY ${WORK}/session)
  execute_process(COMMAND ${runner} ${program} crash WORKING_DIRECTORY ${WORK}/session RESULT_VARIABLE killed
                  OUTPUT_VARIABLE before ERROR_VARIABLE before)
  if(NOT killed EQUAL 3)
    message(FATAL_ERROR "The editor session did not end where it is killed (${killed}):\n${before}")
  endif()
  run("The editor session after the kill" ${CMAKE_COMMAND} -E chdir ${WORK}/session ${runner} ${program})
  message(STATUS "The editor session printed:\n${before}${output}")
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run("Installing" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

elseif(STEP STREQUAL "cmake")
  file(REMOVE_RECURSE ${WORK})
  # A config that looks for a package it does not need fails here.
  set(cross "")
  if(TOOLCHAIN)
    # A cross toolchain looks for packages under its own system root only;
    # the package's folder is named instead.
    set(cross -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -D${PACKAGE}_DIR=${PREFIX}/lib/cmake/${PACKAGE})
  endif()
  run("Configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK}/build -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${PREFIX}
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
      -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON
      -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON ${cross}
      "-DCMAKE_CXX_FLAGS=${SANITIZE}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE} ${LINK_FLAGS}")
  run("Building the consumer" ${CMAKE_COMMAND} --build ${WORK}/build)
  check_consumer(${WORK}/build/consumer${EXE_SUFFIX})
  check_session(${WORK}/build/editor_session${EXE_SUFFIX})

elseif(STEP STREQUAL "pkgconfig")
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  # The prefix's .pc files and no others.
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${PREFIX}/lib/pkgconfig
      PKG_CONFIG_LIBDIR=${PREFIX}/lib/pkgconfig ${PKG_CONFIG} --cflags --libs persistence-zvfileio)
  separate_arguments(flags UNIX_COMMAND "${output}")
  run("Building the consumer with pkg-config's flags" ${CXX_COMPILER} -std=c++20 ${SANITIZE} ${LINK_FLAGS}
      ${CONSUMER_SOURCE}/main.cpp ${flags} -o ${WORK}/consumer${EXE_SUFFIX})
  check_consumer(${WORK}/consumer${EXE_SUFFIX})

elseif(STEP STREQUAL "layout")
  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
  set(misplaced "")
  foreach(file IN LISTS installed)
    if(NOT file MATCHES "^(include/${PACKAGE}|lib|bin|share)/" OR file MATCHES "/(testing|Common)/")
      list(APPEND misplaced ${file})
    endif()
  endforeach()
  if(misplaced)
    list(JOIN misplaced "\n  " misplaced)
    message(FATAL_ERROR "Installed where no host should find it:\n  ${misplaced}")
  endif()
  # Hosts compile the headers without Boost, and the package does not look for it.
  file(GLOB_RECURSE headers ${PREFIX}/include/*)
  foreach(header IN LISTS headers)
    file(STRINGS ${header} boost REGEX "#[ \t]*include[ \t]*[<\"]boost/")
    if(boost)
      message(FATAL_ERROR "${header} includes Boost: ${boost}")
    endif()
  endforeach()
  string(REPLACE "|" ";" required "${REQUIRED}")
  foreach(file IN LISTS required)
    if(NOT EXISTS ${PREFIX}/${file})
      message(FATAL_ERROR "${file} is not installed")
    endif()
  endforeach()
  if(GETTEXT AND NOT EXISTS ${PREFIX}/share/locale/de/LC_MESSAGES/zvfileio.mo)
    message(FATAL_ERROR "The German catalogue is not installed")
  endif()
  list(LENGTH installed count)
  message(STATUS "${count} files installed, each where it belongs")

else()
  message(FATAL_ERROR "STEP must be install, cmake, pkgconfig or layout")
endif()
