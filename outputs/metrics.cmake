# Prometheus metrics for the line-talking subcommands (--metrics), Linux only:
# prometheus-cpp's core for the registry and exposition, civetweb for the HTTP
# endpoint (both Debian's). The Windows build gets RefuseMetricsOption instead.
# Included from cli/CMakeLists.txt; zantrox-cli links zantrox_metrics.
if(WIN32)
    add_library(zantrox_metrics STATIC ${CMAKE_CURRENT_LIST_DIR}/metrics_refused.cpp)
    target_link_libraries(zantrox_metrics PUBLIC zantrox_cli_lib)
else()
    find_package(prometheus-cpp CONFIG REQUIRED)
    find_package(civetweb CONFIG REQUIRED)
    add_library(zantrox_metrics STATIC ${CMAKE_CURRENT_LIST_DIR}/link_metrics.cpp
                                       ${CMAKE_CURRENT_LIST_DIR}/../outputs/metrics_output.cpp)
    target_link_libraries(zantrox_metrics PUBLIC zantrox_cli_lib prometheus-cpp::core civetweb::civetweb)
endif()
zantrox_warnings(zantrox_metrics)
target_link_libraries(zantrox-cli PRIVATE zantrox_metrics)

include(${CMAKE_CURRENT_LIST_DIR}/web_config.cmake)
