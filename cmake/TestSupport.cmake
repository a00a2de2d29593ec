# Test-only support: GoogleTest, built from the sources Debian installs so
# that the 32-bit and sanitizer configurations get a matching build (Debian
# ships prebuilt GoogleTest for x86_64 only), and the library checks.
include(GoogleTest)

set(TRELLUM_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory("${TRELLUM_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

find_package(Threads REQUIRED)

# Every test is bounded in time so that a hang fails fast instead of stalling CI.
set(TRELLUM_TEST_TIMEOUT 120 CACHE STRING "Seconds a single test may run")

# valgrind's memcheck runs every native test program once more, in the one
# configuration where it can: x86_64 without a sanitizer. Any error, or any
# block definitely lost, fails the test. `make test-valgrind` runs just these.
if(NOT TRELLUM_SANITIZE AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(TRELLUM_VALGRIND valgrind REQUIRED)
endif()

# trellum_add_memcheck_test(<target> [<argument>...])
function(trellum_add_memcheck_test target)
  if(TRELLUM_VALGRIND)
    add_test(NAME memcheck.${target}
      COMMAND "${TRELLUM_VALGRIND}" --error-exitcode=99 --leak-check=full
              --errors-for-leak-kinds=definite --show-leak-kinds=definite
              --child-silent-after-fork=yes
              "$<TARGET_FILE:${target}>" ${ARGN})
    set_tests_properties(memcheck.${target} PROPERTIES TIMEOUT 600 LABELS memcheck)
  endif()
endfunction()

# trellum_add_gtest(<name> SOURCES <src>... LIBRARIES <lib>... [NO_MEMCHECK])
# NO_MEMCHECK: the program brings an allocator of its own, which memcheck's
# would replace.
function(trellum_add_gtest name)
  cmake_parse_arguments(ARG "NO_MEMCHECK" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${TRELLUM_TEST_TIMEOUT})
  if(NOT ARG_NO_MEMCHECK)
    trellum_add_memcheck_test(${name})
  endif()
endfunction()

# trellum_add_library_check(<target> <expected-exports-file>)
# The shipped library exports exactly the listed symbols, binds immediately
# and needs no C++ runtime library; one made STAYS_LOADED is marked so.
function(trellum_add_library_check target expected)
  get_target_property(stays_loaded ${target} TRELLUM_STAYS_LOADED)
  set(options "")
  if(stays_loaded)
    set(options --stays-loaded)
  endif()
  add_test(NAME ${target}.exports
    COMMAND "${PROJECT_SOURCE_DIR}/tools/check-library.sh" ${options}
      "$<TARGET_FILE:${target}>" "${expected}")
  set_tests_properties(${target}.exports PROPERTIES TIMEOUT 60)
endfunction()
