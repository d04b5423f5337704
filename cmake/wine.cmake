# Running tests of the Windows build under Wine.
#
# In a test directory:
#
#   include(${PROJECT_SOURCE_DIR}/cmake/wine.cmake)
#   tarnwick_add_test(NAME <name> COMMAND <target-or-program> [args...]
#                     [WORKING_DIRECTORY <dir>] [TIMEOUT <seconds>]
#                     [ENVIRONMENT <VAR=value>...])
#
# tarnwick_add_test is add_test plus, on a Windows cross build, what Wine
# needs: every test requires the fixture "wine_prefix", whose setup test
# creates a Wine prefix in ${CMAKE_BINARY_DIR}/wineprefix once (later runs
# find it ready) and starts its wineserver for the whole run, and whose
# cleanup test stops that wineserver. The test gets WINEPREFIX,
# WINEDEBUG=-all and WINEDLLOVERRIDES that keep the Mono and Gecko
# installers from asking. A target given as COMMAND runs
# through CMAKE_CROSSCOMPILING_EMULATOR as add_test does; a test that starts
# a Windows program itself (a driver script) can take the launcher from
# TARNWICK_TEST_LAUNCHER, which is empty on a native build.
#
# Extra environment entries are appended with set_property(TEST ... APPEND
# PROPERTY ENVIRONMENT ...) or given as ENVIRONMENT here: set_tests_properties
# with ENVIRONMENT would replace Wine's.
#
# On a native build tarnwick_add_test is add_test with those properties.
#
# The same file run as a script (cmake -P) does the fixture's two steps:
#   cmake -DWINE_STEP=setup|cleanup -DWINE=<wine> -DWINESERVER=<wineserver>
#         -DWINE_PREFIX=<dir> -P wine.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  set(ENV{WINEPREFIX} "${WINE_PREFIX}")
  set(ENV{WINEDEBUG} "-all")
  set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
  if(WINE_STEP STREQUAL "setup")
    # The stamp is written only after wineboot succeeded: a prefix left
    # half made by an interrupted run is made again.
    set(stamp "${WINE_PREFIX}/tarnwick-prefix-ready")
    if(NOT EXISTS "${stamp}")
      message(STATUS "Creating the Wine prefix ${WINE_PREFIX}")
      execute_process(COMMAND "${WINESERVER}" -k RESULT_VARIABLE ignored ERROR_QUIET)
      file(REMOVE_RECURSE "${WINE_PREFIX}")
      execute_process(COMMAND "${WINE}" wineboot -i RESULT_VARIABLE result)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR "wineboot failed (${result})")
      endif()
      file(WRITE "${stamp}" "")
    endif()
    # One server for the whole run, started here rather than by whichever
    # test's program comes first: it does not end in a pause between tests
    # and hold on to that test's output pipes, and what it says goes to a
    # log beside the prefix.
    execute_process(COMMAND "${WINESERVER}" -k RESULT_VARIABLE ignored ERROR_QUIET)
    execute_process(COMMAND "${WINESERVER}" -w RESULT_VARIABLE ignored ERROR_QUIET)
    execute_process(COMMAND "${WINESERVER}" -p
                    INPUT_FILE /dev/null
                    OUTPUT_FILE "${WINE_PREFIX}/../wineserver.log"
                    ERROR_FILE "${WINE_PREFIX}/../wineserver.log"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "wineserver -p failed (${result})")
    endif()
    # The first program of a server's session starts the prefix's services
    # (winedevice.exe and others), which keep its standard output open for
    # as long as they run: started here, they keep the log, not a test's
    # output pipe, whose test CTest would then wait on until its time-out.
    execute_process(COMMAND "${WINE}" cmd /c exit
                    INPUT_FILE /dev/null
                    OUTPUT_FILE "${WINE_PREFIX}/../wine-services.log"
                    ERROR_FILE "${WINE_PREFIX}/../wine-services.log"
                    RESULT_VARIABLE ignored)
  elseif(WINE_STEP STREQUAL "cleanup")
    # Fails harmlessly when no server is running.
    execute_process(COMMAND "${WINESERVER}" -k RESULT_VARIABLE ignored)
  else()
    message(FATAL_ERROR "WINE_STEP must be setup or cleanup")
  endif()
  return()
endif()

set(TARNWICK_WINE_MODULE "${CMAKE_CURRENT_LIST_FILE}")

if(CMAKE_CROSSCOMPILING AND WIN32)
  set(TARNWICK_UNDER_WINE TRUE)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 TARNWICK_WINE)
  get_filename_component(_tarnwick_wine_dir "${TARNWICK_WINE}" DIRECTORY)
  find_program(TARNWICK_WINESERVER NAMES wineserver64 wineserver
               HINTS "${_tarnwick_wine_dir}" /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(NOT TARNWICK_WINESERVER)
    message(FATAL_ERROR "wineserver not found beside ${TARNWICK_WINE}")
  endif()
  set(TARNWICK_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  set(TARNWICK_WINE_ENVIRONMENT
      "WINEPREFIX=${TARNWICK_WINE_PREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
  set(TARNWICK_TEST_LAUNCHER ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(TARNWICK_UNDER_WINE FALSE)
  set(TARNWICK_WINE_ENVIRONMENT "")
  set(TARNWICK_TEST_LAUNCHER "")
endif()

# Adds the setup and cleanup tests of the fixture "wine_prefix", once per
# build tree; does nothing on a native build.
function(tarnwick_wine_fixture)
  if(NOT TARNWICK_UNDER_WINE)
    return()
  endif()
  get_property(done GLOBAL PROPERTY TARNWICK_WINE_FIXTURE_ADDED)
  if(done)
    return()
  endif()
  set_property(GLOBAL PROPERTY TARNWICK_WINE_FIXTURE_ADDED TRUE)
  set(script_arguments
      -DWINE=${TARNWICK_WINE} -DWINESERVER=${TARNWICK_WINESERVER}
      -DWINE_PREFIX=${TARNWICK_WINE_PREFIX})
  add_test(NAME wine_prefix_setup
           COMMAND ${CMAKE_COMMAND} -DWINE_STEP=setup ${script_arguments}
                   -P ${TARNWICK_WINE_MODULE})
  add_test(NAME wine_prefix_cleanup
           COMMAND ${CMAKE_COMMAND} -DWINE_STEP=cleanup ${script_arguments}
                   -P ${TARNWICK_WINE_MODULE})
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
  set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 60)
endfunction()

function(tarnwick_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;WORKING_DIRECTORY;TIMEOUT"
                        "COMMAND;ENVIRONMENT")
  if(NOT arg_NAME OR NOT arg_COMMAND)
    message(FATAL_ERROR "tarnwick_add_test needs NAME and COMMAND")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarnwick_add_test: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(directory)
  if(arg_WORKING_DIRECTORY)
    set(directory WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND} ${directory})
  set(environment ${TARNWICK_WINE_ENVIRONMENT} ${arg_ENVIRONMENT})
  if(environment)
    set_property(TEST ${arg_NAME} PROPERTY ENVIRONMENT ${environment})
  endif()
  if(arg_TIMEOUT)
    set_property(TEST ${arg_NAME} PROPERTY TIMEOUT ${arg_TIMEOUT})
  endif()
  if(TARNWICK_UNDER_WINE)
    tarnwick_wine_fixture()
    set_property(TEST ${arg_NAME} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
  endif()
endfunction()
