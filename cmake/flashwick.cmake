# Helpers for the folder-per-library layout.

# Collects the non-test sources of a folder (recursively) into VAR.
function(flashwick_sources VAR folder)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  set(${VAR} ${sources} PARENT_SCOPE)
endfunction()

# A static library for one of the program's folders, linked against the platform only (and the
# program folders below it). An empty folder gives an interface library.
function(flashwick_program_library folder)
  flashwick_sources(sources ${folder})
  if(sources)
    add_library(${folder} STATIC ${sources})
    target_link_libraries(${folder} PUBLIC platform ${ARGN})
  else()
    add_library(${folder} INTERFACE)
    target_link_libraries(${folder} INTERFACE platform ${ARGN})
  endif()
endfunction()

# Adds a GoogleTest executable NAME from SOURCES linked with LIBS; every test case is discovered
# and runs as its own process against its own virtual module. Parameterised cases are listed under
# the names their instantiation gives them (tests/support/test_names.h), not with a printout of
# the parameter's bytes appended.
function(flashwick_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} test_support GTest::gtest GTest::gmock)
  gtest_discover_tests(${name} NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()

# The unit tests that sit beside a folder's code: one executable per folder.
function(flashwick_folder_tests folder)
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*_test.cpp)
  if(tests)
    flashwick_add_test(${folder}_tests SOURCES ${tests} LIBS ${ARGN})
  endif()
endfunction()
