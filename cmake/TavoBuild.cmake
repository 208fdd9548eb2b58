# The build shapes the tree repeats: a web API plug-in and an end-to-end test.

# tavo_add_plugin(<name> OUTPUT_NAME <file name> SOURCES <handler sources...>
#                 LINK <platform libraries...>)
#
# A web API plug-in in the current folder, laid out as
#   main.cpp                     gTable, GetAPITable and the entry functions
#   <SOURCES>                    the handler class
#   tests/<name>_handler_test.cpp  the handler against the platform fakes
# and built as three targets:
#   tavo_<name>_handler   OBJECT library of the handler sources, compiled once
#                         for the plug-in and its tests
#   tavo_<name>_plugin    <OUTPUT_NAME>.so in the plug-in folder; it exports
#                         only what carries default visibility (TAVO_EXPORT)
#   <name>_handler_test   main.cpp and the handler linked against tavo_fakes,
#                         registered with CTest (only when BUILD_TESTING is on)
function(tavo_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_NAME" "SOURCES;LINK")
  if(NOT arg_OUTPUT_NAME OR NOT arg_SOURCES)
    message(FATAL_ERROR "tavo_add_plugin(${name}): OUTPUT_NAME and SOURCES are required")
  endif()

  set(handler tavo_${name}_handler)
  add_library(${handler} OBJECT ${arg_SOURCES})
  target_include_directories(${handler} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${handler} PUBLIC tavo_common tavo_platform_headers)
  set_target_properties(${handler} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  set(plugin tavo_${name}_plugin)
  add_library(${plugin} MODULE main.cpp)
  target_link_libraries(${plugin} PRIVATE ${handler} tavo_common webapi-ORV5 ${arg_LINK})
  set_target_properties(${plugin} PROPERTIES
    PREFIX "" OUTPUT_NAME ${arg_OUTPUT_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${TAVO_PLUGIN_DIR}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  if(BUILD_TESTING)
    set(test ${name}_handler_test)
    add_executable(${test} tests/${name}_handler_test.cpp main.cpp)
    target_link_libraries(${test} PRIVATE ${handler} tavo_fakes)
    gtest_discover_tests(${test} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30)
  endif()
endfunction()

# tavo_add_e2e_test(<test name> <script> [TIMEOUT <seconds>]
#                   [ENVIRONMENT <NAME=VALUE>...] [FIXTURES_REQUIRED <fixture>...])
#
# A Python test (a script of the current folder, or an absolute path) that
# drives the built programs on a temporary root: the host under lighttpd, the
# command line, the browser. It finds the build in TAVO_BUILD_DIR, imports
# tests/e2e/harness.py and may load the host's test plug-in from
# TAVO_TEST_PLUGIN_DIR. Names are <family>.<name>: e2e.*, browser.*,
# hardening.*. TIMEOUT defaults to 300 seconds.
function(tavo_add_e2e_test name script)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "TIMEOUT" "ENVIRONMENT;FIXTURES_REQUIRED")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  cmake_path(ABSOLUTE_PATH script BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  set(environment
    TAVO_BUILD_DIR=${CMAKE_BINARY_DIR}
    PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/e2e
    TAVO_TEST_PLUGIN_DIR=${CMAKE_BINARY_DIR}/platform/webapi/tests/plugins-test
    ${arg_ENVIRONMENT})
  add_test(NAME ${name} COMMAND python3 ${script})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${arg_TIMEOUT})
  if(arg_FIXTURES_REQUIRED)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${arg_FIXTURES_REQUIRED}")
  endif()
endfunction()
