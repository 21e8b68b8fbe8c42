# Helpers shared by every folder's CMakeLists.

set(QUORVELLE_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)

# quorvelle_add_library(NAME SOURCES a.cpp b.cpp LINKS x y)
# A subsystem library; its folder's parent is on the include path, so headers are included as
# "core/Foo.h", "audio/graph/Bar.h".
function(quorvelle_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  if(NOT ARG_SOURCES)
    # A folder whose first sources have not arrived yet stays an interface target.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LINKS})
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_compile_options(${name} PRIVATE ${QUORVELLE_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LINKS})
endfunction()

set(QUORVELLE_TEST_LAUNCHER ${PROJECT_SOURCE_DIR}/scripts/test-launcher.sh)

# quorvelle_add_test(NAME LABELS unit SOURCES t.cpp LINKS lib [TIMEOUT s] [RESOURCE_LOCK name])
# A GoogleTest executable; each of its cases is one CTest test, run through the launcher
# (own network namespace with only lo up, own temporary HOME). Tests that share a RESOURCE_LOCK
# never run at the same time (the JACK servers of the end-to-end tests share one registry in
# /dev/shm, which a crowd of servers starting and dying at once leaves unusable).
function(quorvelle_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;RESOURCE_LOCK" "SOURCES;LINKS;LABELS" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(ARG_RESOURCE_LOCK_PROPERTY "")
  if(ARG_RESOURCE_LOCK)
    set(ARG_RESOURCE_LOCK_PROPERTY RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVELLE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS} quorvelle_test_support GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR ${QUORVELLE_TEST_LAUNCHER}
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests/bin)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
               ENVIRONMENT "QUORVELLE_BUILD_DIR=${PROJECT_BINARY_DIR}"
               ${ARG_RESOURCE_LOCK_PROPERTY})
endfunction()

# quorvelle_add_bench(NAME SOURCES b.cpp LINKS lib)
function(quorvelle_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVELLE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endfunction()

include(GoogleTest)
