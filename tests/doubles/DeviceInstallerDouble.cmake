# Stand-in for newdev.dll's UpdateDriverForPlugAndPlayDevicesW that chooses a
# version-decorated models section as Windows does (see the source). It lands
# next to driverdeploy.dll as dd_newdev_double.dll; the end-to-end tests that
# install such INFs copy it into the prefix's system directory as newdev.dll.

add_library(dd_newdev_double SHARED ${CMAKE_CURRENT_LIST_DIR}/DeviceInstallerDouble.cpp
            ${CMAKE_CURRENT_LIST_DIR}/DeviceInstallerDouble.def)
set_target_properties(dd_newdev_double PROPERTIES PREFIX "" OUTPUT_NAME dd_newdev_double)
target_compile_definitions(dd_newdev_double PRIVATE ${DD_DEFINES})
target_compile_options(dd_newdev_double PRIVATE ${DD_WARNINGS})
target_link_options(dd_newdev_double PRIVATE -static -s)
target_link_libraries(dd_newdev_double PRIVATE setupapi)
