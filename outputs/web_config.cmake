# --web-config for the metrics endpoint: TLS through cpp-httplib on OpenSSL 3
# (Debian's libcpp-httplib-dev, built with OpenSSL), the file read with yaml-cpp,
# passwords checked with libxcrypt's bcrypt. Added to zantrox_metrics; the Windows
# build only refuses the option. Included after zantrox_metrics is defined.
if(WIN32)
    target_sources(zantrox_metrics PRIVATE ${CMAKE_CURRENT_LIST_DIR}/web_config_refused.cpp)
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(ZANTROX_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
    find_package(yaml-cpp CONFIG REQUIRED)
    find_package(OpenSSL REQUIRED)
    target_sources(zantrox_metrics PRIVATE ${CMAKE_CURRENT_LIST_DIR}/web_config.cpp
                                           ${CMAKE_CURRENT_LIST_DIR}/basic_auth.cpp
                                           ${CMAKE_CURRENT_LIST_DIR}/http_endpoint.cpp)
    target_link_libraries(zantrox_metrics PRIVATE PkgConfig::ZANTROX_HTTPLIB yaml-cpp OpenSSL::SSL OpenSSL::Crypto crypt)
endif()
