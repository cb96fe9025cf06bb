# zv_add_fuzzer(<name> SOURCES ... LIBS ... [CORPUS <dir>...])
#
# A fuzz target is a source file defining LLVMFuzzerTestOneInput. Two
# programs are made from it:
#   <name>_replay  always, with any compiler: the target linked with
#                  fuzz/ReplayMain.cpp, which runs it once on every file
#                  it is given. With CORPUS, CTest runs it on those
#                  folders as the test <name>.replay, so the saved inputs
#                  are checked by every ordinary build, without libFuzzer.
#   <name>         when ZV_BUILD_FUZZERS is ON and the compiler is clang:
#                  the libFuzzer program, with ASan and UBSan.
include_guard(GLOBAL)
include(ZvHelpers)

function(zv_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;CORPUS" ${ARGN})

  add_executable(${name}_replay ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
  zv_target_defaults(${name}_replay)
  target_link_libraries(${name}_replay PRIVATE ${ARG_LIBS})
  if(ZV_BUILD_TESTS AND ARG_CORPUS)
    add_test(NAME ${name}.replay COMMAND ${name}_replay ${ARG_CORPUS})
    set_tests_properties(${name}.replay PROPERTIES TIMEOUT 300 LABELS fuzz ${ZV_TEST_PROPERTIES})
  endif()

  if(ZV_BUILD_FUZZERS AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(${name} ${ARG_SOURCES})
    zv_target_defaults(${name})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  endif()
endfunction()
