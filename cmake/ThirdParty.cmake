# The header-only libraries of the front ends: CLI11, nlohmann-json and toml++,
# Debian's packages. A cross build reaches them through links in the build folder,
# so no other host header leaks in.
find_path(ZANTROX_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(ZANTROX_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(ZANTROX_TOML_INCLUDE toml++/toml.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(ZANTROX_THIRD ${CMAKE_BINARY_DIR}/third)
file(MAKE_DIRECTORY ${ZANTROX_THIRD})
if(NOT EXISTS ${ZANTROX_THIRD}/CLI)
    file(CREATE_LINK ${ZANTROX_CLI11_INCLUDE}/CLI ${ZANTROX_THIRD}/CLI SYMBOLIC)
endif()
if(NOT EXISTS ${ZANTROX_THIRD}/nlohmann)
    file(CREATE_LINK ${ZANTROX_JSON_INCLUDE}/nlohmann ${ZANTROX_THIRD}/nlohmann SYMBOLIC)
endif()
if(NOT EXISTS ${ZANTROX_THIRD}/toml++)
    file(CREATE_LINK ${ZANTROX_TOML_INCLUDE}/toml++ ${ZANTROX_THIRD}/toml++ SYMBOLIC)
endif()
add_library(zantrox_third INTERFACE)
target_include_directories(zantrox_third SYSTEM INTERFACE ${ZANTROX_THIRD})
