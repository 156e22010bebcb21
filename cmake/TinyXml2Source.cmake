# TinyXML-2 compiled from Debian's source by this build (the Windows cross builds, and the
# instrumented fuzz build), as the static library tinyxml2_dep.
execute_process(
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/lib/tinyxml2-source.sh
  OUTPUT_VARIABLE TINYXML2_SOURCE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE tinyxml2_result)
if(NOT tinyxml2_result EQUAL 0 OR NOT EXISTS ${TINYXML2_SOURCE_DIR}/tinyxml2.cpp)
  message(FATAL_ERROR "TinyXML-2 source could not be had (scripts/lib/tinyxml2-source.sh)")
endif()
add_library(tinyxml2_dep STATIC ${TINYXML2_SOURCE_DIR}/tinyxml2.cpp)
target_include_directories(tinyxml2_dep SYSTEM PUBLIC ${TINYXML2_SOURCE_DIR})
set_target_properties(tinyxml2_dep PROPERTIES CXX_CLANG_TIDY "")
target_compile_options(tinyxml2_dep PRIVATE -w)
