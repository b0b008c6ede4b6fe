# Stand-in for the script-phase driver actions in end-to-end packages: a DLL
# whose entry points record their name and CustomActionData (see the source).
# It lands next to driverdeploy.dll, where tests/e2e/ddpkg.py looks for it.

add_library(dd_recording_actions_double SHARED ${CMAKE_CURRENT_LIST_DIR}/RecordingActionsDouble.cpp)
set_target_properties(dd_recording_actions_double PROPERTIES PREFIX "" OUTPUT_NAME dd_recording_actions_double)
target_compile_definitions(dd_recording_actions_double PRIVATE ${DD_DEFINES})
target_compile_options(dd_recording_actions_double PRIVATE ${DD_WARNINGS})
target_link_options(dd_recording_actions_double PRIVATE -static -s)
target_link_libraries(dd_recording_actions_double PRIVATE msi)
