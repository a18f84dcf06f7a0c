# --metrics: LinkMetrics over HTTP on loopback (unit), with a threaded scrape (TSan),
# its allocation-free counting; promtool and a real Prometheus server on the
# tap's endpoint, the rules and the dashboard (e2e).
if(TARGET zantrox_metrics)
    zantrox_test(cli_metrics_test SOURCES cli_metrics_test.cpp LABELS "unit;threaded")
    target_link_libraries(cli_metrics_test PRIVATE zantrox_metrics)
    # Its own program: it replaces operator new to count allocations.
    zantrox_test(cli_metrics_alloc_test SOURCES cli_metrics_alloc_test.cpp LABELS unit)
    target_link_libraries(cli_metrics_alloc_test PRIVATE zantrox_metrics)
    # --web-config: the files refused, basic auth, the endpoint with users.
    zantrox_test(cli_web_config_test SOURCES cli_web_config_test.cpp LABELS unit)
    target_link_libraries(cli_web_config_test PRIVATE zantrox_metrics crypt)

    # The tap on the simulator's tap links, scraped by a real Prometheus server.
    add_test(NAME metrics_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/metrics/metrics_e2e.sh $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
    set_tests_properties(metrics_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 20)
    # --web-config: HTTPS, basic auth and client certificates scraped by Prometheus;
    # the files promtool refuses, refused.
    add_test(NAME metrics_web_config_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/metrics/web_config_e2e.sh $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-sim>)
    set_tests_properties(metrics_web_config_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 20)
endif()
# The Prometheus rules (promtool), the Grafana dashboard and the systemd unit.
add_test(NAME metrics_packaging COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/metrics/packaging_check.sh)
set_tests_properties(metrics_packaging PROPERTIES LABELS e2e TIMEOUT 120)
