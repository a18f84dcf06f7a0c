# --metrics: LinkMetrics over HTTP on loopback (unit), with a threaded scrape (TSan),
# its allocation-free counting; promtool and a real Prometheus server on the
# endpoint, the rules and the dashboard (e2e).
if(TARGET zantrox_metrics)
    zantrox_test(cli_metrics_test SOURCES cli_metrics_test.cpp LABELS "unit;threaded")
    target_link_libraries(cli_metrics_test PRIVATE zantrox_metrics)
    # Its own program: it replaces operator new to count allocations.
    zantrox_test(cli_metrics_alloc_test SOURCES cli_metrics_alloc_test.cpp LABELS unit)
    target_link_libraries(cli_metrics_alloc_test PRIVATE zantrox_metrics)

    # Serves LinkMetrics fed with a scripted session, for the scripts below.
    add_executable(metrics_feeder metrics/metrics_feeder.cpp)
    target_link_libraries(metrics_feeder PRIVATE zantrox_metrics)
    zantrox_warnings(metrics_feeder)
    add_test(NAME metrics_e2e COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/metrics/metrics_e2e.sh $<TARGET_FILE:metrics_feeder>)
    set_tests_properties(metrics_e2e PROPERTIES LABELS e2e TIMEOUT 300 COST 20)
endif()
# The Prometheus rules (promtool), the Grafana dashboard and the systemd unit.
add_test(NAME metrics_packaging COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/metrics/packaging_check.sh)
set_tests_properties(metrics_packaging PROPERTIES LABELS e2e TIMEOUT 120)
