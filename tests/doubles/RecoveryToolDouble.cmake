# Stand-ins for reagentc.exe and dism.exe in the recovery environment tests
# (see the source). They land next to dd_recovery_tests.exe as
# dd_reagentc_double.exe and dd_dism_double.exe; the tests copy them into the
# prefix's system directory under the tools' own names.

foreach(tool reagentc dism)
    add_executable(dd_${tool}_double ${CMAKE_CURRENT_LIST_DIR}/RecoveryToolDouble.cpp)
    target_compile_definitions(dd_${tool}_double PRIVATE ${DD_DEFINES} DD_TOOL_NAME="${tool}")
    target_compile_options(dd_${tool}_double PRIVATE ${DD_WARNINGS} -municode)
    target_link_options(dd_${tool}_double PRIVATE -static -municode -s)
endforeach()

# The test program is defined after this file is read.
cmake_language(DEFER CALL add_dependencies dd_recovery_tests dd_reagentc_double dd_dism_double)
