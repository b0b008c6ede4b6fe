# A setup program whose user presses Cancel during a chosen action (the
# end-to-end rollback tests run it in their prefix).

add_executable(dd_cancel_install ${CMAKE_CURRENT_LIST_DIR}/CancelingInstall.cpp)
target_compile_definitions(dd_cancel_install PRIVATE ${DD_DEFINES})
target_compile_options(dd_cancel_install PRIVATE ${DD_WARNINGS} -municode)
target_link_options(dd_cancel_install PRIVATE -static -municode -s)
target_link_libraries(dd_cancel_install PRIVATE msi)
