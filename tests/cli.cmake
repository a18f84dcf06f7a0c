# zantrox-cli: the catalogue (unit), and the program against the simulator (e2e).
zantrox_test(cli_catalogue_test SOURCES cli_catalogue_test.cpp LABELS unit)
target_link_libraries(cli_catalogue_test PRIVATE zantrox_cli_lib)

# zantrox-cli: one transaction as the command line reports it.
zantrox_test(cli_output_test SOURCES cli_output_test.cpp LABELS unit)
target_link_libraries(cli_output_test PRIVATE zantrox_events)

add_test(NAME cli_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli/cli_e2e.sh $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
set_tests_properties(cli_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 12)

# zantrox-cli: ports, map and unmap on a fake /dev, /sys, /proc and HOME.
zantrox_test(cli_ports_test SOURCES cli_ports_test.cpp LABELS unit)
target_link_libraries(cli_ports_test PRIVATE zantrox_cli_lib)

# zantrox-cli check: pump lists, the plan, the report, and the program against the simulator.
zantrox_test(cli_check_test SOURCES cli_check_test.cpp LABELS unit)
target_link_libraries(cli_check_test PRIVATE zantrox_cli_lib)
target_compile_definitions(cli_check_test PRIVATE ZANTROX_CLI_PATH="${ZANTROX_TEST_CLI}"
                                                  ZANTROX_SIM_PATH="${ZANTROX_TEST_SIM}")
add_dependencies(cli_check_test zantrox-cli zantrox-sim)

# zantrox-cli's report: its model, verdict and page on made-up results, and where it is written.
zantrox_test(cli_report_test SOURCES cli_report_test.cpp LABELS unit)
target_link_libraries(cli_report_test PRIVATE zantrox_report)

# zantrox-cli over a serial device server (ser2net on loopback, serving the simulator).
add_test(NAME net_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/net/net_e2e.sh $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
set_tests_properties(net_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 35)
# The same inside TLS: ser2net's ssl gensio, certificates made at run time with openssl.
add_test(NAME net_tls_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/net/net_tls_e2e.sh $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
set_tests_properties(net_tls_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 35)

# zantrox-cli watch --tap: the exchange analyzer and the two-line listener.
zantrox_test(cli_tap_test SOURCES cli_tap_test.cpp LABELS unit)
target_link_libraries(cli_tap_test PRIVATE zantrox_events)
zantrox_test(cli_tap_run_test SOURCES cli_tap_run_test.cpp LABELS unit)
target_link_libraries(cli_tap_run_test PRIVATE zantrox_capture)
target_compile_definitions(cli_tap_run_test PRIVATE ZANTROX_CLI_PATH="${ZANTROX_TEST_CLI}")
add_dependencies(cli_tap_run_test zantrox-cli)

# The scripts on tools/lib/harness.sh (the run command, cli_e2e.sh, a small user)
# leave no process and no temporary folder behind. Skipped (77) without Xvfb.
if(TARGET zantrox)
    add_test(NAME scripts_leave_nothing
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/leftovers_test.sh ${CMAKE_BINARY_DIR}
                     $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
    set_tests_properties(scripts_leave_nothing PROPERTIES LABELS e2e TIMEOUT 600 SKIP_RETURN_CODE 77 COST 40)
endif()

# Capture files (pcapng): the writer's bytes, the reader on good, cut and hostile files.
zantrox_test(cli_capture_test SOURCES cli_capture_test.cpp LABELS unit)
target_link_libraries(cli_capture_test PRIVATE zantrox_capture)
# The same files in Debian's tshark with packaging/wireshark/zantrox.lua; skipped without tshark.
zantrox_test(cli_capture_tshark_test SOURCES cli_capture_tshark_test.cpp LABELS e2e)
target_link_libraries(cli_capture_tshark_test PRIVATE zantrox_outputs)
target_compile_definitions(cli_capture_tshark_test PRIVATE
                           ZANTROX_DISSECTOR="${PROJECT_SOURCE_DIR}/packaging/wireshark/zantrox.lua")

# The stream of line events and the capture, Wireshark's extcap answers.
zantrox_test(cli_stream_test SOURCES cli_stream_test.cpp LABELS unit)
target_link_libraries(cli_stream_test PRIVATE zantrox_outputs zantrox_extcap)

# Captures made by send, check and the tap against the simulator, read back, in
# tshark, and live through Wireshark's extcap (tshark's parts skipped without it).
zantrox_test(cli_capture_run_test SOURCES cli_capture_run_test.cpp LABELS e2e)
target_link_libraries(cli_capture_run_test PRIVATE zantrox_capture)
target_compile_definitions(cli_capture_run_test PRIVATE
                           ZANTROX_CLI_PATH="${ZANTROX_TEST_CLI}"
                           ZANTROX_SIM_PATH="${ZANTROX_TEST_SIM}"
                           ZANTROX_EXTCAP_PATH="${ZANTROX_TEST_EXTCAP}"
                           ZANTROX_DISSECTOR="${PROJECT_SOURCE_DIR}/packaging/wireshark/zantrox.lua")
add_dependencies(cli_capture_run_test zantrox-cli zantrox-sim zantrox-extcap)

# zantrox-cli run: run files checked before anything is sent, step judging, text lines and JUnit XML.
zantrox_test(cli_run_test SOURCES cli_run_test.cpp LABELS unit)
target_link_libraries(cli_run_test PRIVATE zantrox_cli_lib)
target_compile_definitions(cli_run_test PRIVATE ZANTROX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# zantrox-cli run against the simulator: the examples, refusals, Ctrl+C; send's text:.
zantrox_test(cli_run_e2e_test SOURCES cli_run_e2e_test.cpp LABELS e2e)
target_link_libraries(cli_run_e2e_test PRIVATE zantrox_cli_lib)
target_compile_definitions(cli_run_e2e_test PRIVATE
                           ZANTROX_CLI_PATH="${ZANTROX_TEST_CLI}"
                           ZANTROX_SIM_PATH="${ZANTROX_TEST_SIM}"
                           ZANTROX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(cli_run_e2e_test zantrox-cli zantrox-sim)
