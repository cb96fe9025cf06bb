cmake_policy(VERSION 3.25)
# One step of the Debian package tests (tests/package/CMakeLists.txt), by
# STEP, all in WORK:
#   build    clones SOURCE_DIR (its committed HEAD; a copy without build/
#            when it is no git checkout) into WORK/source and builds the
#            binary packages there with DPKG_BUILDPACKAGE, into WORK; every
#            symbol the library package lists must lie under a ZORVAN_ node
#   lintian  runs LINTIAN --pedantic on what build made: a tag outside
#            ALLOWED ("|" between them) fails
#   names    lists the packages' files with DPKG_DEB: an installed name
#            outside the standard folders must carry the project's prefix,
#            so that no file can clash with another package's
#   root     makes a fresh Debian root (debootstrap, kept as a tarball in
#            CACHE_DIR), installs the packages into it with apt, runs
#            `zvfile demo` there without /proc, and builds and runs
#            CONSUMER_SOURCE against the -dev package with CMake and with
#            pkg-config, comparing what it prints with EXPECTED_FILE
include(${CMAKE_CURRENT_LIST_DIR}/RunConsumer.cmake) # fail_if, run, expect_printed

set(root ${WORK}/root)
# What a host build in the root needs beside the packages' dependencies.
set(root_packages g++ cmake make pkg-config)

# Unmounts whatever was mounted in WORK (/proc in the root, or what
# debootstrap mounts), by this run or by one stopped halfway: WORK is
# removed only when nothing is mounted in it.
function(unmount_work)
  file(STRINGS /proc/mounts mounts)
  foreach(line IN LISTS mounts)
    string(REGEX MATCH "^[^ ]+ ([^ ]+)" matched "${line}")
    string(FIND "${CMAKE_MATCH_1}/" "${WORK}/" at)
    if(at EQUAL 0)
      execute_process(COMMAND umount -l ${CMAKE_MATCH_1})
    endif()
  endforeach()
endfunction()

# in_root(<what> <command>...): runs the command in the root, with a clean
# environment; fails with its output when it fails. Sets `output`.
function(in_root what)
  run("${what}" chroot ${root} /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
      DEBIAN_FRONTEND=noninteractive ${ARGN})
  set(output "${output}" PARENT_SCOPE)
endfunction()

# Runs the consumer built at <program> (a path in the root) in a fresh
# folder of the root and checks what it prints; the revision is the one
# the installed zvfile reads from the design it saved.
function(check_in_root program)
  get_filename_component(run ${program} NAME)
  string(APPEND run -run)
  in_root("The consumer ${program}" /bin/sh -c "mkdir /tmp/${run} && cd /tmp/${run} && exec ${program}")
  set(printed "${output}")
  in_root("zvfile reading the consumer's design" /bin/sh -c "cd /tmp/${run} && exec zvfile info pump.zvd --json")
  string(JSON revision GET "${output}" createdRevision)
  expect_printed("${printed}" "${revision}")
endfunction()

# The Debian release and package mirror this machine uses: its own apt
# sources, deb822 or one-line.
function(machine_mirror codename_out mirror_out)
  file(STRINGS /etc/os-release release REGEX "^VERSION_CODENAME=")
  string(REGEX REPLACE "^VERSION_CODENAME=\"?([a-z]+)\"?$" "\\1" codename "${release}")
  file(GLOB sources /etc/apt/sources.list.d/*.sources)
  set(mirror "")
  foreach(file IN LISTS sources)
    file(READ ${file} text)
    string(REGEX REPLACE "\n[ \t]*\n" ";" stanzas "${text}")
    foreach(stanza IN LISTS stanzas)
      if(stanza MATCHES "Types:[^\n]*deb( |\n|$)" AND stanza MATCHES "Suites:[^\n]* ${codename}( |\n|$)"
         AND stanza MATCHES "URIs: *([^ \n]+)")
        set(mirror ${CMAKE_MATCH_1})
        break()
      endif()
    endforeach()
    if(mirror)
      break()
    endif()
  endforeach()
  if(NOT mirror AND EXISTS /etc/apt/sources.list)
    file(STRINGS /etc/apt/sources.list lines REGEX "^deb +(\\[[^]]*\\] +)?[^ ]+ +${codename} ")
    if(lines)
      list(GET lines 0 line)
      string(REGEX REPLACE "^deb +(\\[[^]]*\\] +)?([^ ]+) .*" "\\2" mirror "${line}")
    endif()
  endif()
  fail_if("No package mirror for ${codename} in /etc/apt" NOT mirror)
  set(${codename_out} ${codename} PARENT_SCOPE)
  set(${mirror_out} ${mirror} PARENT_SCOPE)
endfunction()

file(GLOB debs ${WORK}/*.deb)
list(FILTER debs EXCLUDE REGEX "-dbgsym_")
if(NOT STEP STREQUAL "build")
  fail_if("No packages in ${WORK}: package.debian_build makes them" NOT debs)
endif()

if(STEP STREQUAL "build")
  unmount_work()
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  execute_process(COMMAND git -C ${SOURCE_DIR} rev-parse --show-toplevel OUTPUT_VARIABLE top
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND top STREQUAL SOURCE_DIR)
    run("Cloning ${SOURCE_DIR}" git clone --quiet ${SOURCE_DIR} ${WORK}/source)
    run("git" git -C ${WORK}/source log -1 --format=%h)
    message(STATUS "Building the packages of commit ${output} (not the checkout's uncommitted changes)")
  else()
    file(GLOB entries LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
    list(REMOVE_ITEM entries build)
    list(TRANSFORM entries PREPEND ${SOURCE_DIR}/)
    file(COPY ${entries} DESTINATION ${WORK}/source)
  endif()
  string(TIMESTAMP start %s)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ZV_SALVAGE_SQLITE_DIR=${SALVAGE_SQLITE_DIR}
                          ${DPKG_BUILDPACKAGE} -b -us -uc -j2
                  WORKING_DIRECTORY ${WORK}/source RESULT_VARIABLE failed
                  OUTPUT_FILE ${WORK}/build.log ERROR_FILE ${WORK}/build.log)
  string(TIMESTAMP end %s)
  math(EXPR seconds "${end} - ${start}")
  if(failed)
    file(STRINGS ${WORK}/build.log log)
    list(LENGTH log count)
    math(EXPR from "${count} - 60")
    if(from LESS 0)
      set(from 0)
    endif()
    list(SUBLIST log ${from} 60 tail) # the error and what led to it
    list(JOIN tail "\n" tail)
    fail_if("dpkg-buildpackage failed (${WORK}/build.log):\n${tail}" TRUE)
  endif()
  message(STATUS "dpkg-buildpackage took ${seconds} s")
  file(GLOB debs ${WORK}/*.deb)
  foreach(deb IN LISTS debs)
    run("dpkg-deb" ${DPKG_DEB} --info ${deb})
    string(REGEX MATCH " Installed-Size: [0-9]+" size "${output}")
    file(SIZE ${deb} bytes)
    get_filename_component(name ${deb} NAME)
    message(STATUS "${name}: ${bytes} bytes,${size} KiB installed")
  endforeach()
  # The symbols the library package declares: only the project's version
  # nodes, so the file states exactly the libraries' ABI.
  file(GLOB library ${WORK}/libpersistence-zvfileio1_*.deb)
  run("dpkg-deb" ${DPKG_DEB} --info ${library} symbols)
  string(REGEX MATCHALL "\n [^ \n]+" symbols "${output}")
  list(FILTER symbols EXCLUDE REGEX "@ZORVAN_[A-Z_]+_[0-9.]+$")
  fail_if("Symbols outside the project's version nodes: ${symbols}" symbols)

elseif(STEP STREQUAL "lintian")
  file(GLOB changes ${WORK}/*.changes)
  execute_process(COMMAND ${LINTIAN} --pedantic --no-cfg ${changes} OUTPUT_VARIABLE report ERROR_VARIABLE report)
  message(STATUS "lintian --pedantic:\n${report}")
  string(REGEX MATCHALL "(^|\n)[EWP]: [^ ]+ [^ \n]+" hints "${report}")
  string(REPLACE "|" ";" allowed "${ALLOWED}")
  set(unexpected "")
  foreach(hint IN LISTS hints)
    string(REGEX REPLACE ".* " "" tag "${hint}")
    if(NOT tag IN_LIST allowed)
      list(APPEND unexpected ${tag})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES unexpected)
  fail_if("lintian reports tags not on the list: ${unexpected}" unexpected)

elseif(STEP STREQUAL "names")
  # Folders every package installs into; a name is what follows them.
  set(standard "usr" "usr/(bin|include|lib|share)" "usr/lib/[a-z0-9_]+-linux-[a-z0-9_]+"
      "usr/lib/[a-z0-9_]+-linux-[a-z0-9_]+/(cmake|pkgconfig)" "usr/share/(doc|doc-base|man|locale|lintian)"
      "usr/share/man/man[1-9]" "usr/share/locale/[^/]+" "usr/share/locale/[^/]+/LC_MESSAGES"
      "usr/share/lintian/overrides" "usr/lib/debug" "usr/lib/debug/\\.build-id" "usr/lib/debug/\\.build-id/[0-9a-f][0-9a-f]"
      "usr/lib/debug/\\.dwz" "usr/lib/debug/\\.dwz/[a-z0-9_]+-linux-[a-z0-9_]+")
  list(JOIN standard "|" standard)
  set(ours "^(lib)?(Persistence_ZvFileIO|PersistenceZvFileIO|persistence-zvfileio|zvfile)")
  set(build_id "^usr/lib/debug/\\.build-id/[0-9a-f][0-9a-f]/[0-9a-f]+\\.debug$")
  file(GLOB debs ${WORK}/*.deb) # debug symbols too
  set(foreign "")
  foreach(deb IN LISTS debs)
    run("dpkg-deb" ${DPKG_DEB} --contents ${deb})
    string(REGEX MATCHALL "\\./[^\n]*" paths "${output}")
    foreach(path IN LISTS paths)
      string(REGEX REPLACE "^\\./|/$| -> .*" "" path "${path}")
      if(path STREQUAL "" OR path MATCHES "${build_id}")
        continue()
      endif()
      set(folder "")
      string(REPLACE "/" ";" parts "${path}")
      foreach(part IN LISTS parts)
        if("${folder}${part}" MATCHES "^(${standard})$")
          string(APPEND folder "${part}/")
        elseif(NOT part MATCHES "${ours}")
          get_filename_component(name ${deb} NAME)
          list(APPEND foreign "${name}: /${path}")
          break()
        else()
          break()
        endif()
      endforeach()
    endforeach()
  endforeach()
  list(JOIN foreign "\n  " foreign)
  fail_if("Installed under names another package may use:\n  ${foreign}" foreign)

elseif(STEP STREQUAL "root")
  machine_mirror(codename mirror)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(SHA256 key "${codename} ${arch} minbase ${mirror} ${root_packages}")
  string(SUBSTRING ${key} 0 12 key)
  set(tarball ${CACHE_DIR}/debian-root-${codename}-${arch}-${key}.tar.gz)
  unmount_work()
  file(REMOVE_RECURSE ${root} ${WORK}/bootstrap)
  if(NOT EXISTS ${tarball})
    # Made once per machine (or when what it holds changes), then kept.
    string(TIMESTAMP start %s)
    list(JOIN root_packages "," include)
    execute_process(COMMAND ${DEBOOTSTRAP} --variant=minbase --include=${include} ${codename} ${WORK}/bootstrap
                            ${mirror} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    unmount_work()
    fail_if("debootstrap failed:\n${output}" failed)
    file(GLOB downloaded ${WORK}/bootstrap/var/cache/apt/archives/*.deb)
    file(REMOVE ${downloaded})
    file(MAKE_DIRECTORY ${CACHE_DIR})
    run("Keeping the root" tar -C ${WORK}/bootstrap -czf ${tarball}.part .)
    file(RENAME ${tarball}.part ${tarball})
    file(REMOVE_RECURSE ${WORK}/bootstrap)
    string(TIMESTAMP end %s)
    math(EXPR seconds "${end} - ${start}")
    message(STATUS "debootstrap and the tarball took ${seconds} s: ${tarball}")
  endif()
  file(MAKE_DIRECTORY ${root})
  run("Unpacking the root" tar -C ${root} -xzf ${tarball})
  configure_file(/etc/resolv.conf ${root}/etc/resolv.conf COPYONLY)
  file(COPY ${debs} DESTINATION ${root}/tmp/debs)

  # apt resolves the packages' dependencies from the mirror; it may need
  # /proc, mounted for the install alone.
  execute_process(COMMAND mount -t proc proc ${root}/proc)
  execute_process(COMMAND chroot ${root} /bin/sh -c
                          "apt-get update -qq && apt-get install -y -qq --no-install-recommends /tmp/debs/*.deb"
                  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  unmount_work()
  fail_if("Installing the packages in the root failed:\n${output}" failed)
  fail_if("/proc is still mounted in the root" EXISTS ${root}/proc/self)

  in_root("zvfile demo without /proc" zvfile demo /tmp/demo)
  message(STATUS "zvfile demo printed:\n${output}")

  # The example host, with CMake and with pkg-config, as a user builds it.
  file(COPY ${CONSUMER_SOURCE}/ DESTINATION ${root}/tmp/consumer)
  in_root("Configuring the consumer" cmake -S /tmp/consumer -B /tmp/consumer-cmake -DCMAKE_BUILD_TYPE=Release)
  in_root("Building the consumer" cmake --build /tmp/consumer-cmake)
  check_in_root(/tmp/consumer-cmake/consumer)
  in_root("Building the consumer with pkg-config" /bin/sh -c
          "c++ -std=c++20 /tmp/consumer/main.cpp $(pkg-config --cflags --libs persistence-zvfileio) -o /tmp/consumer-pc")
  check_in_root(/tmp/consumer-pc)
  file(REMOVE_RECURSE ${root})

else()
  message(FATAL_ERROR "STEP must be build, lintian, names or root")
endif()
