cmake_policy(VERSION 3.25)
# One step of the package tests (tests/package/CMakeLists.txt), by STEP:
#   install    installs the build BUILD_DIR into PREFIX, which starts empty
#   cmake      configures and builds CONSUMER_SOURCE against PREFIX with
#              CMake and CXX_COMPILER, runs it in WORK and compares its
#              output with EXPECTED_FILE; runs the editor session it also
#              builds, killed and recovering
#   pkgconfig  the same, built with CXX_COMPILER and the package's .pc files
#              (with STATIC: pkg-config --static)
#   static     builds SOURCE_DIR alone (no tests) with static libraries in
#              WORK/build, installs it into PREFIX, then runs the steps cmake
#              and pkgconfig against it
#   floor      configures SOURCE_DIR, and CONSUMER_SOURCE against PREFIX,
#              with OLD_COMPILER, below the compiler floor: both must refuse
#              it in one sentence
#   layout     checks what PREFIX holds, the files REQUIRED names ("|" between
#              them) among it
# WORK starts empty, so nothing of an earlier run can make a test pass. For a
# cross build, TOOLCHAIN is its toolchain file, LINK_FLAGS its programs' link
# flags and EMULATOR (separated by spaces) runs its programs, which find the
# package's DLLs through WINEPATH; elsewhere the consumers find the
# package's libraries through LD_LIBRARY_PATH, as any host of libraries
# installed outside the loader's search path does (they carry no run path).
# fail_if(<message> <condition>...): fails the test with <message> when the
# condition (if()'s words, none of them empty) holds.
function(fail_if message)
  if(${ARGN})
    message(FATAL_ERROR "${message}")
  endif()
endfunction()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  fail_if("${what} failed:\n${output}" failed)
  set(output "${output}" PARENT_SCOPE)
endfunction()

# expect_printed(<printed> <revision>): fails unless the consumer printed
# EXPECTED_FILE's text, <revision> standing for its "<revision>".
function(expect_printed printed revision)
  fail_if("The consumer's design records no revision:\n${printed}" NOT revision)
  file(READ ${EXPECTED_FILE} expected)
  string(REPLACE "<revision>" "${revision}" expected "${expected}")
  fail_if("The consumer printed\n${printed}\ninstead of\n${expected}" NOT printed STREQUAL expected)
endfunction()

# Runs the consumer and the editor session built in <folder> in fresh
# folders of WORK. The consumer's output must be EXPECTED_FILE's, with
# <revision> standing for the revision the installed zvfile reads from the
# design it saved (without zvfile: the one it printed first). The session,
# where it was built, runs twice: killed between an autosave and the save
# (exit code 3), then recovering; it checks itself. Under a cross build's emulator they find
# the package's DLLs through WINEPATH, elsewhere its libraries through
# LD_LIBRARY_PATH; the installed zvfile finds its libraries itself.
function(check_programs folder)
  if(EMULATOR)
    separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
    string(REPLACE "/" "\\" dlls "Z:${PREFIX}/bin")
    set(runner ${CMAKE_COMMAND} -E env "WINEPATH=${dlls}" ${emulator})
    set(zvfile_runner ${runner})
  else()
    set(runner ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${PREFIX}/lib")
  endif()
  file(MAKE_DIRECTORY ${WORK}/run ${WORK}/session)
  execute_process(COMMAND ${runner} ${folder}/consumer${EXE_SUFFIX} WORKING_DIRECTORY ${WORK}/run
                  RESULT_VARIABLE failed OUTPUT_VARIABLE printed ERROR_VARIABLE errors)
  fail_if("The consumer failed (${failed}):\n${printed}${errors}" failed)
  string(REPLACE "\r\n" "\n" printed "${printed}") # a Windows program's text output
  string(REGEX MATCH "\\(software revision ([^)]*)\\)" matched "${printed}")
  set(revision "${CMAKE_MATCH_1}")
  if(EXISTS ${PREFIX}/bin/zvfile${EXE_SUFFIX})
    run("The installed zvfile reading the consumer's design" ${CMAKE_COMMAND} -E chdir ${WORK}/run ${zvfile_runner}
        ${PREFIX}/bin/zvfile${EXE_SUFFIX} info pump.zvd --json)
    string(JSON revision GET "${output}" createdRevision)
  endif()
  expect_printed("${printed}" "${revision}")
  if(NOT EXISTS ${folder}/editor_session${EXE_SUFFIX})
    return()
  endif()
  execute_process(COMMAND ${runner} ${folder}/editor_session${EXE_SUFFIX} crash WORKING_DIRECTORY ${WORK}/session
                  RESULT_VARIABLE killed OUTPUT_VARIABLE before ERROR_VARIABLE before)
  fail_if("The editor session did not end where it is killed (${killed}):\n${before}" NOT killed EQUAL 3)
  run("The editor session after the kill" ${CMAKE_COMMAND} -E chdir ${WORK}/session ${runner}
      ${folder}/editor_session${EXE_SUFFIX})
  message(STATUS "The consumer printed:\n${printed}The editor session printed:\n${before}${output}")
endfunction()

# The consumer and the session built with CMake against PREFIX in
# WORK/cmake. With the shared libraries they must not look for Boost,
# threads or SQLite: a config that does fails here. They set no C++
# standard: the targets ask for C++20.
function(consumer_with_cmake)
  set(WORK ${WORK}/cmake)
  file(REMOVE_RECURSE ${WORK})
  set(options "")
  if(TOOLCHAIN)
    # A cross toolchain looks for packages under its own system root only;
    # the package's folder is named instead.
    list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -D${PACKAGE}_DIR=${PREFIX}/lib/cmake/${PACKAGE})
  endif()
  if(NOT STATIC)
    list(APPEND options -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON
                        -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON)
  endif()
  run("Configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK}/build -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${PREFIX}
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF ${options}
      "-DCMAKE_CXX_FLAGS=${SANITIZE}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE} ${LINK_FLAGS}")
  run("Building the consumer" ${CMAKE_COMMAND} --build ${WORK}/build)
  check_programs(${WORK}/build)
endfunction()

# The consumer built with the compiler and pkg-config alone, with the
# prefix's .pc files and no others, in WORK/pkgconfig.
function(consumer_with_pkg_config)
  set(WORK ${WORK}/pkgconfig)
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  set(pc ${PREFIX}/lib/pkgconfig)
  set(pkg_config ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc} PKG_CONFIG_LIBDIR=${pc} ${PKG_CONFIG})
  set(static "")
  if(STATIC)
    set(static --static) # with what the libraries link: the system's SQLite, threads
  endif()
  run("pkg-config" ${pkg_config} ${static} --cflags --libs persistence-zvfileio)
  fail_if("pkg-config gives a run path: ${output}" output MATCHES "rpath")
  separate_arguments(flags UNIX_COMMAND "${output}")
  run("Building the consumer with pkg-config's flags" ${CXX_COMPILER} -std=c++20 ${SANITIZE} ${LINK_FLAGS}
      ${CONSUMER_SOURCE}/main.cpp ${flags} -o ${WORK}/consumer${EXE_SUFFIX})
  check_programs(${WORK})
  # Where the message catalogues are, for installGettextCatalogue.
  run("pkg-config" ${pkg_config} --variable=localedir persistence-zvfileio)
  string(STRIP "${output}" localedir)
  fail_if("pkg-config's localedir ${localedir} holds no German catalogue"
          GETTEXT AND NOT EXISTS ${localedir}/de/LC_MESSAGES/zvfileio.mo)
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return() # included for its functions (RunDebian.cmake, RunZvfile.cmake)
elseif(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run("Installing" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

elseif(STEP STREQUAL "cmake")
  consumer_with_cmake()

elseif(STEP STREQUAL "pkgconfig")
  consumer_with_pkg_config()

elseif(STEP STREQUAL "static")
  # The build folder is kept from run to run, so that a second run only
  # builds what changed; the install and the consumers start afresh.
  set(STATIC ON)
  run("Configuring the static build" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK}/build -G ${GENERATOR}
      -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_C_COMPILER=${C_COMPILER}
      -DBUILD_SHARED_LIBS=OFF -DZV_BUILD_TESTS=OFF -DZV_WERROR=${WERROR}
      -DCMAKE_DISABLE_FIND_PACKAGE_Doxygen=ON)
  run("Building the static build" ${CMAKE_COMMAND} --build ${WORK}/build --parallel 2)
  file(REMOVE_RECURSE ${PREFIX})
  run("Installing the static build" ${CMAKE_COMMAND} --install ${WORK}/build --prefix ${PREFIX})
  file(GLOB shared ${PREFIX}/lib/*.so*)
  fail_if("The static build installed shared libraries: ${shared}" shared)
  consumer_with_cmake()
  consumer_with_pkg_config()

elseif(STEP STREQUAL "floor")
  foreach(source IN ITEMS ${SOURCE_DIR} ${CONSUMER_SOURCE})
    file(REMOVE_RECURSE ${WORK})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${WORK} -G ${GENERATOR}
                            -DCMAKE_CXX_COMPILER=${OLD_COMPILER} -DCMAKE_PREFIX_PATH=${PREFIX}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(REGEX REPLACE "\n *" " " flat "${output}") # CMake wraps long messages
    string(REGEX MATCH "PersistenceZvFileIO needs GCC [0-9]+ or Clang [0-9]+ or later, but [^ ]+ is Clang [0-9.]+\\."
           sentence "${flat}")
    fail_if("${source} with ${OLD_COMPILER} was not refused as too old:\n${output}" NOT failed OR NOT sentence)
    message(STATUS "${source}: ${sentence}")
  endforeach()

elseif(STEP STREQUAL "layout")
  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
  set(misplaced ${installed})
  list(FILTER misplaced EXCLUDE REGEX "^(include/${PACKAGE}|lib|bin|share)/")
  list(FILTER installed INCLUDE REGEX "/(testing|Common)/")
  fail_if("Installed where no host should find it: ${misplaced} ${installed}" misplaced OR installed)
  # Hosts compile the headers without Boost, and the package does not look for it.
  file(GLOB_RECURSE headers ${PREFIX}/include/*)
  foreach(header IN LISTS headers)
    file(STRINGS ${header} boost REGEX "#[ \t]*include[ \t]*[<\"]boost/")
    fail_if("${header} includes Boost: ${boost}" boost)
  endforeach()
  string(REPLACE "|" ";" required "${REQUIRED}")
  if(GETTEXT)
    list(APPEND required share/locale/de/LC_MESSAGES/zvfileio.mo)
  endif()
  foreach(file IN LISTS required)
    fail_if("${file} is not installed" NOT EXISTS ${PREFIX}/${file})
  endforeach()
  # Run paths: none on a library; a relative one on a program or module
  # that loads libraries of the package.
  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/bin/* ${PREFIX}/lib/*.so*)
  foreach(file IN LISTS installed)
    if(EMULATOR OR IS_SYMLINK ${PREFIX}/${file})
      continue()
    endif()
    file(READ_ELF ${PREFIX}/${file} RUNPATH runpath RPATH rpath)
    set(path "${runpath}${rpath}")
    fail_if("The library ${file} has the run path ${path}" file MATCHES "^lib/lib[^/]*$" AND path)
    fail_if("${file} has the run path ${path}, not one relative to itself" NOT path MATCHES "^(\\$ORIGIN.*)?$")
    message(STATUS "${file}: run path '${path}'")
  endforeach()
  # The manual page as man shows it from the prefix.
  if(MAN AND EXISTS ${PREFIX}/share/man/man1/zvfile.1.gz)
    run("man" ${CMAKE_COMMAND} -E env MANPATH=${PREFIX}/share/man MANWIDTH=80 ${MAN} -P cat zvfile)
    foreach(part IN ITEMS "zvfile - open, save and inspect design files" "COMMANDS" "zvfile info" "EXIT STATUS")
      string(FIND "${output}" "${part}" at)
      fail_if("man zvfile does not show '${part}':\n${output}" at LESS 0)
    endforeach()
  endif()

else()
  message(FATAL_ERROR "STEP must be install, cmake, pkgconfig, static, floor or layout")
endif()
