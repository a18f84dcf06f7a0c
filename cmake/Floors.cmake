# zantrox_floor(NAME SOURCES... [LINKS LIBRARIES...]): a floor's static library,
# including from the top of the tree and linking the floors below it.
function(zantrox_floor name)
    cmake_parse_arguments(ZF "" "" "SOURCES;LINKS" ${ARGN})
    add_library(${name} STATIC ${ZF_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ZF_LINKS})
    zantrox_warnings(${name})
endfunction()
