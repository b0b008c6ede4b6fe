# Stand-in for the system's network configuration object (CLSID_CNetCfg): an
# in-process COM server the network tests register in their prefix in place
# of Wine's own object (see the source). It lands next to the test programs
# and driverdeploy.dll, where the tests and tests/e2e/ddpkg.py look for it.

add_library(dd_netcfg_double SHARED ${CMAKE_CURRENT_LIST_DIR}/NetCfgDouble.cpp ${CMAKE_CURRENT_LIST_DIR}/NetCfgDouble.def)
set_target_properties(dd_netcfg_double PROPERTIES PREFIX "" OUTPUT_NAME dd_netcfg_double)
target_compile_definitions(dd_netcfg_double PRIVATE ${DD_DEFINES})
target_compile_options(dd_netcfg_double PRIVATE ${DD_WARNINGS})
target_link_options(dd_netcfg_double PRIVATE -static -s)
target_link_libraries(dd_netcfg_double PRIVATE setupapi ole32 uuid)
cmake_language(DEFER CALL add_dependencies dd_network_tests dd_netcfg_double)
