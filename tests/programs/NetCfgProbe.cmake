# A custom-action DLL for the end-to-end check that msiexec's custom-action
# process loads the network configuration double registered in the prefix.

add_library(dd_netcfg_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/NetCfgProbe.cpp)
set_target_properties(dd_netcfg_probe PROPERTIES PREFIX "" OUTPUT_NAME dd_netcfg_probe)
target_compile_definitions(dd_netcfg_probe PRIVATE ${DD_DEFINES})
target_compile_options(dd_netcfg_probe PRIVATE ${DD_WARNINGS})
target_link_options(dd_netcfg_probe PRIVATE -static -s)
target_link_libraries(dd_netcfg_probe PRIVATE msi ole32 uuid)
