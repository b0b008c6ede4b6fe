# The plan probe of the authoring kit (see the source): `driverdeploy plan`
# looks for it next to driverdeploy.dll in the build tree.

add_library(driverdeploy_plan_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/PlanProbe.cpp ${CMAKE_CURRENT_LIST_DIR}/PlanProbe.def)
set_target_properties(driverdeploy_plan_probe PROPERTIES PREFIX "" OUTPUT_NAME driverdeploy_plan_probe)
target_compile_definitions(driverdeploy_plan_probe PRIVATE ${DD_DEFINES})
target_compile_options(driverdeploy_plan_probe PRIVATE ${DD_WARNINGS})
target_link_options(driverdeploy_plan_probe PRIVATE -static -s)
target_link_libraries(driverdeploy_plan_probe PRIVATE msi)
