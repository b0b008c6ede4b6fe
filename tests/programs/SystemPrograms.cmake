# Programs the service and process tests run: a user-mode service the control
# manager can really start and stop, and a child with scripted output and exit
# code. Both land next to the test programs, where the tests look for them.

foreach(program dd_test_service:TestService.cpp dd_test_child:ProcessChild.cpp)
    string(REPLACE ":" ";" parts ${program})
    list(GET parts 0 target)
    list(GET parts 1 source)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${source})
    target_compile_definitions(${target} PRIVATE ${DD_DEFINES})
    target_compile_options(${target} PRIVATE ${DD_WARNINGS} -municode)
    target_link_options(${target} PRIVATE -static -municode)
    target_link_libraries(${target} PRIVATE advapi32)
endforeach()

# The test program is defined after this file is read.
cmake_language(DEFER CALL add_dependencies dd_system_tests dd_test_service dd_test_child)
cmake_language(DEFER CALL add_dependencies dd_harness_tests dd_test_child)
