# The floor and the time marks of the scheduling benchmark
# (tests/bench/bench_scheduling.py): a DLL of custom actions that make only
# the installer calls the scheduling of the benchmark's rows needs. It lands
# next to driverdeploy.dll, where the benchmark looks for it.

add_library(dd_bench_scheduling_floor SHARED ${CMAKE_CURRENT_LIST_DIR}/SchedulingFloor.cpp)
set_target_properties(dd_bench_scheduling_floor PROPERTIES PREFIX "" OUTPUT_NAME dd_bench_scheduling_floor)
target_compile_definitions(dd_bench_scheduling_floor PRIVATE ${DD_DEFINES})
target_compile_options(dd_bench_scheduling_floor PRIVATE ${DD_WARNINGS})
target_link_options(dd_bench_scheduling_floor PRIVATE -static -s)
target_link_libraries(dd_bench_scheduling_floor PRIVATE msi)
