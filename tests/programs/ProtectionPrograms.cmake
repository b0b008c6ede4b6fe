# The unprotect program of the service protection tests: records how it was
# started. Lands next to dd_protection_tests.exe; the end-to-end tests store
# it in their packages' Binary table.

add_executable(dd_test_recorder ${CMAKE_CURRENT_LIST_DIR}/ArgumentRecorder.cpp)
target_compile_definitions(dd_test_recorder PRIVATE ${DD_DEFINES})
target_compile_options(dd_test_recorder PRIVATE ${DD_WARNINGS} -municode)
target_link_options(dd_test_recorder PRIVATE -static -municode -s)

cmake_language(DEFER CALL add_dependencies dd_protection_tests dd_test_recorder)
