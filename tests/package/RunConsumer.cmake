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
#   deb        makes the Debian package of BUILD_DIR with CPACK, extracts it
#              with DPKG_DEB into WORK/root, runs the step cmake against
#              WORK/root/usr, and LINTIAN on the package, which must report
#              no error
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
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${what} failed:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

# Runs the consumer `program` in WORK; its output must be EXPECTED_FILE's, with
# <revision> standing for the revision the installed zvfile reads from the
# design the consumer saved (without zvfile: the one it printed first). The
# installed zvfile runs as it is, finding its libraries itself.
# How a program built against PREFIX runs (`runner`), and how the installed
# zvfile does (`zvfile_runner`), which finds its libraries itself.
macro(set_runners)
  if(EMULATOR)
    separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
    string(REPLACE "/" "\\" dlls "Z:${PREFIX}/bin")
    set(runner ${CMAKE_COMMAND} -E env "WINEPATH=${dlls}" ${emulator})
    set(zvfile_runner ${runner})
  else()
    set(runner ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${PREFIX}/lib")
    set(zvfile_runner "")
  endif()
endmacro()

function(check_consumer program)
  set_runners()
  file(MAKE_DIRECTORY ${WORK}/run)
  execute_process(COMMAND ${runner} ${program} WORKING_DIRECTORY ${WORK}/run RESULT_VARIABLE failed
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(REPLACE "\r\n" "\n" output "${output}") # a Windows program's text output
  if(failed)
    message(FATAL_ERROR "The consumer failed (${failed}):\n${output}${errors}")
  endif()
  if(EXISTS ${PREFIX}/bin/zvfile${EXE_SUFFIX})
    execute_process(COMMAND ${zvfile_runner} ${PREFIX}/bin/zvfile${EXE_SUFFIX} info pump.zvd --json
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
  set_runners()
  file(MAKE_DIRECTORY ${WORK}/session)
  execute_process(COMMAND ${runner} ${program} crash WORKING_DIRECTORY ${WORK}/session RESULT_VARIABLE killed
                  OUTPUT_VARIABLE before ERROR_VARIABLE before)
  if(NOT killed EQUAL 3)
    message(FATAL_ERROR "The editor session did not end where it is killed (${killed}):\n${before}")
  endif()
  run("The editor session after the kill" ${CMAKE_COMMAND} -E chdir ${WORK}/session ${runner} ${program})
  message(STATUS "The editor session printed:\n${before}${output}")
endfunction()

# The consumer built with CMake against PREFIX in WORK/cmake. With the shared
# libraries it must not look for Boost, threads or SQLite: a config that
# does fails here. It sets no C++ standard: the targets ask for C++20.
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
  check_consumer(${WORK}/build/consumer${EXE_SUFFIX})
  check_session(${WORK}/build/editor_session${EXE_SUFFIX})
endfunction()

# The same source built with the compiler and pkg-config alone, in WORK/pkgconfig.
function(consumer_with_pkg_config)
  set(WORK ${WORK}/pkgconfig)
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  set(static "")
  if(STATIC)
    set(static --static) # with what the libraries link: the system's SQLite, threads
  endif()
  # The prefix's .pc files and no others.
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${PREFIX}/lib/pkgconfig
      PKG_CONFIG_LIBDIR=${PREFIX}/lib/pkgconfig ${PKG_CONFIG} ${static} --cflags --libs persistence-zvfileio)
  if(output MATCHES "rpath")
    message(FATAL_ERROR "pkg-config gives a run path: ${output}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${output}")
  run("Building the consumer with pkg-config's flags" ${CXX_COMPILER} -std=c++20 ${SANITIZE} ${LINK_FLAGS}
      ${CONSUMER_SOURCE}/main.cpp ${flags} -o ${WORK}/consumer${EXE_SUFFIX})
  check_consumer(${WORK}/consumer${EXE_SUFFIX})
  # Where the message catalogues are, for installGettextCatalogue.
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${PREFIX}/lib/pkgconfig
      ${PKG_CONFIG} --variable=localedir persistence-zvfileio)
  string(STRIP "${output}" localedir)
  if(GETTEXT AND NOT EXISTS ${localedir}/de/LC_MESSAGES/zvfileio.mo)
    message(FATAL_ERROR "pkg-config's localedir ${localedir} holds no German catalogue")
  endif()
endfunction()

if(STEP STREQUAL "install")
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
  if(shared)
    message(FATAL_ERROR "The static build installed shared libraries: ${shared}")
  endif()
  consumer_with_cmake()
  consumer_with_pkg_config()

elseif(STEP STREQUAL "deb")
  file(REMOVE_RECURSE ${WORK})
  run("cpack" ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK})
  file(GLOB deb ${WORK}/*.deb)
  list(LENGTH deb count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} Debian packages:\n${output}")
  endif()
  run("Extracting the package" ${DPKG_DEB} -x ${deb} ${WORK}/root)
  set(PREFIX ${WORK}/root/usr)
  consumer_with_cmake()
  # Errors fail the test; warnings are listed in the README with the
  # reason each is kept.
  execute_process(COMMAND ${LINTIAN} --no-cfg ${deb} OUTPUT_VARIABLE report ERROR_VARIABLE report)
  message(STATUS "lintian ${deb}:\n${report}")
  if(report MATCHES "(^|\n)E: ")
    message(FATAL_ERROR "lintian reports errors")
  endif()

elseif(STEP STREQUAL "floor")
  foreach(source IN ITEMS ${SOURCE_DIR} ${CONSUMER_SOURCE})
    file(REMOVE_RECURSE ${WORK})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${WORK} -G ${GENERATOR}
                            -DCMAKE_CXX_COMPILER=${OLD_COMPILER} -DCMAKE_PREFIX_PATH=${PREFIX}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(REGEX REPLACE "\n *" " " flat "${output}") # CMake wraps long messages
    string(REGEX MATCH "PersistenceZvFileIO needs GCC [0-9]+ or Clang [0-9]+ or later, but [^ ]+ is Clang [0-9.]+\\."
           sentence "${flat}")
    if(NOT failed OR NOT sentence)
      message(FATAL_ERROR "${source} with ${OLD_COMPILER} was not refused as too old:\n${output}")
    endif()
    message(STATUS "${source}: ${sentence}")
  endforeach()

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
  # Run paths: none on a library; a relative one on a program or module
  # that loads libraries of the package.
  if(NOT EMULATOR)
    foreach(file IN LISTS installed)
      if(NOT file MATCHES "^(bin/|lib/.*\\.so)" OR IS_SYMLINK ${PREFIX}/${file})
        continue()
      endif()
      file(READ_ELF ${PREFIX}/${file} RUNPATH runpath RPATH rpath)
      set(path "${runpath}${rpath}")
      if(file MATCHES "^lib/lib[^/]*$" AND NOT path STREQUAL "")
        message(FATAL_ERROR "The library ${file} has the run path ${path}")
      elseif(NOT path MATCHES "^(\\$ORIGIN.*)?$")
        message(FATAL_ERROR "${file} has the run path ${path}, not one relative to itself")
      endif()
      message(STATUS "${file}: run path '${path}'")
    endforeach()
  endif()
  # The manual page as man shows it from the prefix.
  if(MAN AND EXISTS ${PREFIX}/share/man/man1/zvfile.1.gz)
    run("man" ${CMAKE_COMMAND} -E env MANPATH=${PREFIX}/share/man MANWIDTH=80 ${MAN} -P cat zvfile)
    foreach(part IN ITEMS "zvfile - open, save and inspect design files" "COMMANDS" "zvfile info" "EXIT STATUS")
      string(FIND "${output}" "${part}" at)
      if(at LESS 0)
        message(FATAL_ERROR "man zvfile does not show '${part}':\n${output}")
      endif()
    endforeach()
  endif()
  list(LENGTH installed count)
  message(STATUS "${count} files installed, each where it belongs")

else()
  message(FATAL_ERROR "STEP must be install, cmake, pkgconfig, static, deb, floor or layout")
endif()
