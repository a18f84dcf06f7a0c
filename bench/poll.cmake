# poll_bench: the status poll loop's period and its idle CPU time, against the
# in-test controller on a pseudo-terminal. Run: poll_bench [seconds per phase].
if(TARGET zantrox_test_support)
    add_executable(poll_bench ${CMAKE_CURRENT_SOURCE_DIR}/poll_bench.cpp)
    target_link_libraries(poll_bench PRIVATE zantrox_test_support)
    zantrox_warnings(poll_bench)
endif()
