# Runs the Windows test programs of a cross build under Wine, headless, in a
# Wine prefix of the build's own that is thrown away with the build folder.
#
# Every run goes through cmake/wine-run.sh, which keeps a Wine server and
# Wine's services running between programs: without them each test would
# take seconds. The fixture test `wine.start` readies the prefix and the
# server before the first test, `wine.stop` ends the server after the last;
# every test program requires the fixture (ZV_TEST_PROPERTIES). Test cases
# are listed when CTest starts (ZV_TEST_DISCOVERY_ARGS), not during the
# build, so the build never runs Wine.
include_guard(GLOBAL)

find_program(ZV_WINE wine REQUIRED)
find_program(ZV_WINESERVER wineserver REQUIRED)

set(ZV_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
# No display (console programs need none), no Wine debug chatter, and no
# prompt to install Wine's .NET and browser add-ons into a new prefix.
set(_zv_wine_env env -u DISPLAY WINEDEBUG=-all WINEPREFIX=${ZV_WINEPREFIX} WINESERVER=${ZV_WINESERVER}
                 WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_zv_wine_env} sh ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${ZV_WINE})

add_test(NAME wine.start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR})
add_test(NAME wine.stop COMMAND ${_zv_wine_env} ${ZV_WINESERVER} -k)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine LABELS wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine)

set(ZV_TEST_DISCOVERY_ARGS DISCOVERY_MODE PRE_TEST)
set(ZV_TEST_PROPERTIES FIXTURES_REQUIRED wine)
