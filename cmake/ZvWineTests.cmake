# Runs the Windows test programs of a cross build under Wine, headless, in a
# Wine prefix of the build's own that is thrown away with the build folder.
#
# Starting Wine costs seconds each time unless a wine server keeps running,
# so the fixture test `wine.start` starts one and `wine.stop` ends it; every
# test program requires the fixture (ZV_TEST_PROPERTIES). Test cases are
# listed when CTest starts (ZV_TEST_DISCOVERY_ARGS), not during the build,
# so the build never runs Wine.
include_guard(GLOBAL)

find_program(ZV_WINE wine REQUIRED)
find_program(ZV_WINESERVER wineserver REQUIRED)

set(ZV_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
# No display (console programs need none), no Wine debug chatter, and no
# prompt to install Wine's .NET and browser add-ons into a new prefix.
set(_zv_wine_env env -u DISPLAY WINEDEBUG=-all WINEPREFIX=${ZV_WINEPREFIX} WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_zv_wine_env} ${ZV_WINE})

# The server inherits every open file of the test that starts it: all its
# output goes to a log file, or CTest would wait for the server to exit.
# It stops by itself ten minutes after its last client, should wine.stop
# never run (an interrupted ctest).
add_test(NAME wine.start COMMAND ${_zv_wine_env} sh -c
  "mkdir -p \"$WINEPREFIX\" && exec >\"$WINEPREFIX.log\" 2>&1 && ${ZV_WINESERVER} -p600 && ${ZV_WINE} wineboot --init")
add_test(NAME wine.stop COMMAND ${_zv_wine_env} ${ZV_WINESERVER} -k)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine LABELS wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine)

set(ZV_TEST_DISCOVERY_ARGS DISCOVERY_MODE PRE_TEST)
set(ZV_TEST_PROPERTIES FIXTURES_REQUIRED wine)
