# The Windows menu resource (console/win32/menu109.rc) is generated from the
# command table by menu_rc_gen and kept in the tree, so the cross build needs no
# host tool. Here, on the host, the generator is built and a unit test fails when
# the kept file is out of date. To regenerate:
#   cmake --build <build-dir> --target zantrox_update_menu_rc
add_executable(zantrox_menu_rc_gen
    ${PROJECT_SOURCE_DIR}/console/win32/menu_rc_gen.cpp
    ${PROJECT_SOURCE_DIR}/commands/menu_table.cpp)
target_include_directories(zantrox_menu_rc_gen PRIVATE ${PROJECT_SOURCE_DIR})
zantrox_warnings(zantrox_menu_rc_gen)

add_custom_target(zantrox_update_menu_rc
    COMMAND zantrox_menu_rc_gen ${PROJECT_SOURCE_DIR}/console/win32/menu109.rc
    COMMENT "Writing console/win32/menu109.rc from the command table"
    VERBATIM)

zantrox_test(menu_resource_test SOURCES menu_resource_test.cpp LABELS unit)
add_dependencies(menu_resource_test zantrox_menu_rc_gen)
zantrox_run_path(menu_rc_gen zantrox_menu_rc_gen)
target_compile_definitions(menu_resource_test PRIVATE
    ZANTROX_MENU_RC_GEN="${menu_rc_gen}"
    ZANTROX_MENU_RC="${PROJECT_SOURCE_DIR}/console/win32/menu109.rc")
