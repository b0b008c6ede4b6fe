# The logging floor of the per-package overhead benchmark
# (tests/bench/bench_overhead.py): a deferred custom action that makes the
# platform calls of dd_bench_platform_floor.exe inside msiexec and logs as
# many lines from its package threads as the product does. It lands next to
# driverdeploy.dll, where the benchmark looks for it.

add_library(dd_bench_logging_floor SHARED ${CMAKE_CURRENT_LIST_DIR}/LoggingFloor.cpp)
set_target_properties(dd_bench_logging_floor PROPERTIES PREFIX "" OUTPUT_NAME dd_bench_logging_floor)
target_compile_definitions(dd_bench_logging_floor PRIVATE ${DD_DEFINES})
target_compile_options(dd_bench_logging_floor PRIVATE ${DD_WARNINGS})
target_link_options(dd_bench_logging_floor PRIVATE -static -s)
target_link_libraries(dd_bench_logging_floor PRIVATE msi setupapi)
