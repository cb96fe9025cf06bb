# Message catalogues in gettext's form: translators edit <language>.po
# files, the build compiles them to .mo files laid out as gettext looks for
# them (<dir>/<language>/LC_MESSAGES/<domain>.mo).
include_guard(GLOBAL)
include(GNUInstallDirs) # CMAKE_INSTALL_LOCALEDIR

find_package(Gettext REQUIRED) # msgfmt, msgmerge
find_program(ZV_XGETTEXT xgettext REQUIRED)
find_program(ZV_MSGCMP msgcmp REQUIRED)

# What xgettext extracts: the texts of Translator::translate(context,
# sourceText, ...) and of ZV_TRANSLATE_NOOP(context, sourceText), each
# with its context as msgctxt. The default keywords (gettext, _) are off:
# the system calls no gettext function. Locations name files only, so the
# template does not change when lines move.
set(ZV_XGETTEXT_OPTIONS
  --language=C++ --from-code=UTF-8
  --keyword= --keyword=translate:1c,2 --keyword=ZV_TRANSLATE_NOOP:1c,2
  --add-location=file --sort-by-file)

# zv_add_message_catalogues(<target> DOMAIN <domain> OUTPUT_DIR <dir>
#                           PO_FILES <language>.po... [INSTALL_DESTINATION <dir>])
# Compiles every <language>.po (checked by msgfmt: format strings, header)
# into <dir>/<language>/LC_MESSAGES/<domain>.mo as part of `all`, and
# installs the .mo files under INSTALL_DESTINATION in the same layout.
function(zv_add_message_catalogues target)
  cmake_parse_arguments(ARG "" "DOMAIN;OUTPUT_DIR;INSTALL_DESTINATION" "PO_FILES" ${ARGN})
  set(catalogues "")
  foreach(po IN LISTS ARG_PO_FILES)
    cmake_path(ABSOLUTE_PATH po BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    cmake_path(GET po STEM language)
    set(folder ${ARG_OUTPUT_DIR}/${language}/LC_MESSAGES)
    add_custom_command(OUTPUT ${folder}/${ARG_DOMAIN}.mo
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${GETTEXT_MSGFMT_EXECUTABLE} --check --output-file=${folder}/${ARG_DOMAIN}.mo ${po}
      DEPENDS ${po}
      COMMENT "Compiling the ${language} messages of ${ARG_DOMAIN}"
      VERBATIM)
    list(APPEND catalogues ${folder}/${ARG_DOMAIN}.mo)
    if(ARG_INSTALL_DESTINATION)
      install(FILES ${folder}/${ARG_DOMAIN}.mo DESTINATION ${ARG_INSTALL_DESTINATION}/${language}/LC_MESSAGES)
    endif()
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${catalogues})
endfunction()
