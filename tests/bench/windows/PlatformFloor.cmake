# The benchmarks' floor program: the platform calls of a filter-driver package
# install without the library around them (scripts/bench.sh runs it).
add_executable(dd_bench_platform_floor ${CMAKE_CURRENT_LIST_DIR}/PlatformFloor.cpp)
target_compile_definitions(dd_bench_platform_floor PRIVATE ${DD_DEFINES})
target_compile_options(dd_bench_platform_floor PRIVATE ${DD_WARNINGS} -municode)
target_link_options(dd_bench_platform_floor PRIVATE -static -municode)
target_link_libraries(dd_bench_platform_floor PRIVATE setupapi)
