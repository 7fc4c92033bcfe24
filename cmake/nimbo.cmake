# Helpers shared by every directory of the project.

# nimbo_library(NAME SOURCES ... DEPS ...): a static library of the project;
# its headers are included as "folder/file.h" from src/.
function(nimbo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# nimbo_test(NAME SOURCES ... DEPS ... [THREADED]): a GoogleTest program
# registered with CTest. THREADED tests also run under ThreadSanitizer in CI.
function(nimbo_test name)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} nimbo_testing GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    NIMBO_BINARY_DIR="${PROJECT_BINARY_DIR}" NIMBO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # One label a test: a list would not survive the discovery script's arguments.
  set(label unit)
  if(ARG_THREADED)
    set(label threaded)
    # CI's ThreadSanitizer tree builds only these (target threaded_tests).
    set_property(GLOBAL APPEND PROPERTY NIMBO_THREADED_TESTS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label})
endfunction()

# nimbo_add_subfolders(): adds every folder here that has a CMakeLists.txt,
# so that a new program or benchmark only needs a folder of its own.
function(nimbo_add_subfolders)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${dirs})
    if(EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
