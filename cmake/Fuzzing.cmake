# TRELLUM_FUZZ: builds the differential fuzzer of the channel API
# (trellum/fuzz) with clang and libFuzzer, at the build's word size, and
# adds a bounded run of it to the tests. `make fuzz` runs it for as long as
# asked.
option(TRELLUM_FUZZ "Build and run the libFuzzer differential fuzzer (needs clang)" OFF)
# Runs per test pass: about half a minute on the 2-core build machine.
set(TRELLUM_FUZZ_RUNS 150000 CACHE STRING "Inputs the fuzz test runs")
# Emulated (the 32-bit build under qemu-i386) an input costs some fifty times
# more: that run ends here, well inside the test's timeout, with part of them.
set(TRELLUM_FUZZ_SECONDS 200 CACHE STRING "Seconds after which the fuzz test stops early")

if(NOT TRELLUM_FUZZ)
  return()
endif()

find_program(TRELLUM_FUZZ_CXX NAMES clang++-14 clang++ REQUIRED)
include(ExternalProject)
set(fuzz_flags "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(fuzz_flags -m32)
endif()
set(fuzz_dir "${CMAKE_BINARY_DIR}/fuzz")
ExternalProject_Add(trellum_fuzz
  SOURCE_DIR "${PROJECT_SOURCE_DIR}/trellum/fuzz"
  BINARY_DIR "${fuzz_dir}/build"
  CMAKE_ARGS
    "-DCMAKE_CXX_COMPILER=${TRELLUM_FUZZ_CXX}"
    "-DCMAKE_CXX_FLAGS=${fuzz_flags}"
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)  # its sources live outside what ExternalProject watches

set(TRELLUM_FUZZER "${fuzz_dir}/build/trellum_ops_fuzzer" CACHE INTERNAL "")
add_test(NAME trellum.fuzz_ops
  COMMAND "${PROJECT_SOURCE_DIR}/tools/run-fuzzer.sh" runs ${TRELLUM_FUZZ_RUNS} ${TRELLUM_FUZZ_SECONDS}
    "${fuzz_dir}" "${PROJECT_SOURCE_DIR}/trellum/fuzz/corpus"
    ${CMAKE_CROSSCOMPILING_EMULATOR} "${TRELLUM_FUZZER}")
set_tests_properties(trellum.fuzz_ops PROPERTIES TIMEOUT 300)
