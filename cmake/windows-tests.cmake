# Windows tests: GoogleTest programs run under wine64 through the wine-run
# wrapper (each run in a fresh prefix cloned from a template made once), and
# end-to-end tests that install real packages with msiexec.

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB DD_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/support/*.cpp)
add_library(dd_test_support STATIC ${DD_TEST_SUPPORT})
target_include_directories(dd_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(dd_test_support PUBLIC ${DD_DEFINES})
target_link_libraries(dd_test_support PUBLIC gtest ${DD_SYSTEM_LIBS})

# Small Windows programs and DLLs the tests use: children, services (programs/),
# stand-ins for platform pieces Wine lacks (doubles/), and the benchmarks' own
# programs and custom actions (bench/windows/).
file(GLOB DD_TEST_DOUBLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/doubles/*.cmake ${CMAKE_SOURCE_DIR}/tests/programs/*.cmake
     ${CMAKE_SOURCE_DIR}/tests/bench/windows/*.cmake)
foreach(double ${DD_TEST_DOUBLES})
    include(${double})
endforeach()

# One test program per subsystem folder under tests/windows (support excepted).
file(GLOB DD_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/windows/*)
foreach(dir ${DD_TEST_DIRS})
    get_filename_component(name ${dir} NAME)
    if(NOT IS_DIRECTORY ${dir} OR name STREQUAL "support")
        continue()
    endif()
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(NOT sources)
        continue()
    endif()
    add_executable(dd_${name}_tests ${sources} $<TARGET_OBJECTS:dd_core>)
    target_compile_options(dd_${name}_tests PRIVATE ${DD_WARNINGS})
    target_link_libraries(dd_${name}_tests PRIVATE dd_test_support gtest_main)
    target_link_options(dd_${name}_tests PRIVATE -static)
    add_dependencies(dd_${name}_tests driverdeploy)
    add_test(NAME windows.${name} COMMAND dd_${name}_tests --gtest_color=no)
    set_tests_properties(windows.${name} PROPERTIES TIMEOUT 600
        ENVIRONMENT "DD_DLL=$<TARGET_FILE:driverdeploy>;DD_BUILD_DIR=${CMAKE_BINARY_DIR};DD_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endforeach()

# A folder holding a Unix symbolic link to another folder, and a link in place
# of a folder: Wine shows them as folder links (0x410), which Windows code
# under Wine cannot make. The removal tests of windows.system need them.
add_test(NAME windows.system.links
         COMMAND sh -c "rm -rf links && mkdir -p links/victim/sub links/outside && echo kept > links/outside/kept.txt && echo x > links/victim/sub/a.txt && ln -s ../outside links/victim/link && ln -s outside links/linked-root"
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(windows.system.links PROPERTIES FIXTURES_SETUP links)
set_tests_properties(windows.system PROPERTIES FIXTURES_REQUIRED links)

add_test(NAME windows.dll_exports_and_imports
         COMMAND ${DD_PYTHON} ${CMAKE_SOURCE_DIR}/tests/tools/check_dll_tables.py
                 ${DD_OBJDUMP} $<TARGET_FILE:driverdeploy> ${CMAKE_SOURCE_DIR}/src/driverdeploy.def
                 $<TARGET_OBJECTS:dd_core>)

# End-to-end: each tests/e2e/test_*.py installs real packages in its own prefix.
file(GLOB DD_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(script ${DD_E2E_TESTS})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME e2e.${name} COMMAND ${DD_PYTHON} ${script})
    set_tests_properties(e2e.${name} PROPERTIES TIMEOUT 900
        ENVIRONMENT "DD_DLL=$<TARGET_FILE:driverdeploy>;DD_BUILD_DIR=${CMAKE_BINARY_DIR};DD_SOURCE_DIR=${CMAKE_SOURCE_DIR};DD_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run;PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/e2e")
endforeach()

# Authoring kit: each tests/authoring/test_*.py checks the kit's files and commands with msitools alone
# (no Wine); DD_DLL is the DLL the kit puts into packages.
file(GLOB DD_AUTHORING_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/authoring/test_*.py)
foreach(script ${DD_AUTHORING_TESTS})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME authoring.${name} COMMAND ${DD_PYTHON} ${script})
    set_tests_properties(authoring.${name} PROPERTIES TIMEOUT 600
        ENVIRONMENT "DD_DLL=$<TARGET_FILE:driverdeploy>;DD_BUILD_DIR=${CMAKE_BINARY_DIR};DD_SOURCE_DIR=${CMAKE_SOURCE_DIR};PYTHONPATH=${CMAKE_SOURCE_DIR}/authoring:${CMAKE_SOURCE_DIR}/tests/e2e")
endforeach()

# The benchmarks' reading of the installer log (the benchmarks themselves run
# through scripts/bench.sh, not here).
add_test(NAME bench.log_reading COMMAND ${DD_PYTHON} ${CMAKE_SOURCE_DIR}/tests/bench/test_benchkit.py)
set_tests_properties(bench.log_reading PROPERTIES TIMEOUT 60
    ENVIRONMENT "DD_BUILD_DIR=${CMAKE_BINARY_DIR};DD_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
