# The program of the end-to-end test in which the installing user changes the
# early install's extracted files before the system-rights phase runs; the
# test stores it in its package's Binary table.

add_executable(dd_test_tamper ${CMAKE_CURRENT_LIST_DIR}/EarlyTamper.cpp)
target_compile_definitions(dd_test_tamper PRIVATE ${DD_DEFINES})
target_compile_options(dd_test_tamper PRIVATE ${DD_WARNINGS} -municode)
target_link_options(dd_test_tamper PRIVATE -static -municode -s)
