# Native build of the Win32-free code: unit tests under AddressSanitizer and
# UBSan, libFuzzer targets (clang) and benchmarks.

option(DD_SANITIZE "Build with AddressSanitizer and UBSan" ON)
option(DD_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
option(DD_BENCH "Build the benchmarks" ON)

set(DD_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(dd_portable STATIC ${DD_PORTABLE_SOURCES})
target_include_directories(dd_portable PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(dd_portable PRIVATE -Wall -Wextra)
if(DD_SANITIZE OR DD_FUZZ)
    target_compile_options(dd_portable PUBLIC ${DD_SANITIZER_FLAGS})
    target_link_options(dd_portable PUBLIC ${DD_SANITIZER_FLAGS})
endif()

if(NOT DD_FUZZ)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    file(GLOB DD_NATIVE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*.cpp)
    add_executable(dd_native_tests ${DD_NATIVE_TESTS})
    target_link_libraries(dd_native_tests PRIVATE dd_portable GTest::gtest_main)
    target_include_directories(dd_native_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    gtest_discover_tests(dd_native_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()

if(DD_FUZZ)
    # Each target runs briefly over its seed corpus as a smoke test; long runs
    # are done by hand: build-fuzz/<target> -max_total_time=600 <corpus>.
    file(GLOB DD_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
    foreach(source ${DD_FUZZ_TARGETS})
        get_filename_component(name ${source} NAME_WE)
        add_executable(${name} ${source})
        target_link_libraries(${name} PRIVATE dd_portable)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
        set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
        add_test(NAME ${name}.smoke
                 COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                         ${CMAKE_SOURCE_DIR}/tests/tools/fuzz-smoke.sh $<TARGET_FILE:${name}> ${corpus} ${work} 20)
        set_tests_properties(${name}.smoke PROPERTIES TIMEOUT 120)
    endforeach()
endif()

if(DD_BENCH AND NOT DD_FUZZ)
    file(GLOB DD_BENCHMARKS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/bench/*.cpp)
    if(DD_BENCHMARKS)
        find_package(benchmark REQUIRED)
        # Benchmarks measure the optimized code, without sanitizers.
        add_library(dd_portable_fast STATIC ${DD_PORTABLE_SOURCES})
        target_include_directories(dd_portable_fast PUBLIC ${CMAKE_SOURCE_DIR}/src)
        target_compile_options(dd_portable_fast PRIVATE -O2)
        add_executable(dd_bench ${DD_BENCHMARKS})
        target_compile_options(dd_bench PRIVATE -O2)
        target_link_libraries(dd_bench PRIVATE dd_portable_fast benchmark::benchmark benchmark::benchmark_main)
        add_test(NAME bench.smoke COMMAND dd_bench --benchmark_min_time=0.01)
    endif()
endif()
