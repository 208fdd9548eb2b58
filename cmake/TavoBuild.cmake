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
  target_link_libraries(${handler} PUBLIC tavo_common)
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
