# The simulator's own tests: it runs as a separate program on a pseudo-terminal.
add_executable(sim_test sim_test.cpp)
target_include_directories(sim_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(sim_test PRIVATE ZANTROX_SIM_PATH="${ZANTROX_TEST_SIM}")
target_link_libraries(sim_test PRIVATE zantrox_console GTest::gtest_main)
add_dependencies(sim_test zantrox-sim)
zantrox_warnings(sim_test)
gtest_discover_tests(sim_test PROPERTIES LABELS unit DISCOVERY_TIMEOUT 30)
zantrox_label_targets(sim_test unit)
