# Cabinets the payload tests extract, made with gcab at build time into
# ${CMAKE_BINARY_DIR}/payload (found there through DD_BUILD_DIR). Member
# names are File table keys, kept in the order given here.

find_program(DD_GCAB NAMES gcab REQUIRED)
set(DD_PAYLOAD_DIR ${CMAKE_BINARY_DIR}/payload)
set(members_dir ${DD_PAYLOAD_DIR}/members)
file(MAKE_DIRECTORY ${members_dir})

# member:content pairs per cabinet
set(cab_drivers drv_inf:driver-inf drv_cat:driver-catalog other_sys:other-component)
set(cab_beside side_inf:beside-inf)
set(cab_wrong wrong_inf:wrong-cabinet)
set(cab_bad a_inf:first z_ghost:no-row z_after:after)

set(cabinets)
foreach(cab drivers beside wrong bad)
    set(member_paths)
    foreach(pair ${cab_${cab}})
        string(REPLACE ":" ";" parts ${pair})
        list(GET parts 0 member)
        list(GET parts 1 content)
        file(WRITE ${members_dir}/${member} "${content}")
        list(APPEND member_paths ${members_dir}/${member})
    endforeach()
    add_custom_command(OUTPUT ${DD_PAYLOAD_DIR}/${cab}.cab
                       COMMAND ${CMAKE_COMMAND} -E rm -f ${DD_PAYLOAD_DIR}/${cab}.cab
                       COMMAND ${DD_GCAB} -c -n ${DD_PAYLOAD_DIR}/${cab}.cab ${member_paths}
                       DEPENDS ${member_paths}
                       VERBATIM)
    list(APPEND cabinets ${DD_PAYLOAD_DIR}/${cab}.cab)
endforeach()
add_custom_target(dd_payload_cabinets DEPENDS ${cabinets})

cmake_language(DEFER CALL add_dependencies dd_payload_tests dd_payload_cabinets)
