# The Windows console under Wine, checked on the wire (tests/wine/run_wine_tests.sh).
# Included from tests/CMakeLists.txt in the Linux build. Registered only when the
# MinGW-w64 cross compiler, Wine and Xvfb are there and ZANTROX_WIN_TESTS is on.
#
# The console is cross-built into ${CMAKE_BINARY_DIR}/win with the project's
# toolchain file as part of the normal build, unless ZANTROX_WIN_EXE names another
# zantrox.exe (say, the one tools/build-windows.sh made). The test driver is
# cross-built by build-driver.sh; the expected texts come from wine_expect, built
# here from the command table.
if(DEFINED ZANTROX_WIN_TESTS AND NOT ZANTROX_WIN_TESTS)
    return()
endif()

find_program(ZANTROX_MINGW_GXX NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++)
find_program(ZANTROX_WINE NAMES wine)
find_program(ZANTROX_XVFB NAMES Xvfb)
if(NOT ZANTROX_MINGW_GXX OR NOT ZANTROX_WINE OR NOT ZANTROX_XVFB)
    message(STATUS "Wine test skipped: needs x86_64-w64-mingw32-g++, wine and Xvfb")
    return()
endif()

set(ZANTROX_WIN_EXE_DEFAULT ${CMAKE_BINARY_DIR}/win/console/win32/zantrox.exe)
set(ZANTROX_WIN_EXE ${ZANTROX_WIN_EXE_DEFAULT} CACHE FILEPATH
    "The Windows console the Wine test runs (built here when left at its default)")

if(ZANTROX_WIN_EXE STREQUAL ZANTROX_WIN_EXE_DEFAULT)
    include(ExternalProject)
    ExternalProject_Add(zantrox_win
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${CMAKE_BINARY_DIR}/win
        PREFIX ${CMAKE_BINARY_DIR}/win-prefix
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
            -DCMAKE_BUILD_TYPE=Release
            -DZANTROX_WERROR=${ZANTROX_WERROR}
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${ZANTROX_WIN_EXE})
endif()

set(ZANTROX_WINE_DRIVER ${CMAKE_CURRENT_BINARY_DIR}/wine/driver.exe)
add_custom_command(
    OUTPUT ${ZANTROX_WINE_DRIVER}
    COMMAND ${CMAKE_COMMAND} -E env ZANTROX_MINGW_CXX=${ZANTROX_MINGW_GXX}
            sh ${CMAKE_CURRENT_LIST_DIR}/build-driver.sh ${ZANTROX_WINE_DRIVER}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/driver.cpp ${CMAKE_CURRENT_LIST_DIR}/build-driver.sh
    COMMENT "Cross-building the Wine test driver"
    VERBATIM)
add_custom_target(zantrox_wine_driver ALL DEPENDS ${ZANTROX_WINE_DRIVER})

add_executable(wine_expect ${CMAKE_CURRENT_LIST_DIR}/wine_expect.cpp
                           ${PROJECT_SOURCE_DIR}/commands/menu_table.cpp)
target_include_directories(wine_expect PRIVATE ${PROJECT_SOURCE_DIR})
zantrox_warnings(wine_expect)

add_test(NAME wine_console
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_wine_tests.sh ${ZANTROX_WIN_EXE} ${ZANTROX_WINE_DRIVER}
                 $<TARGET_FILE:zantrox-sim> $<TARGET_FILE:wine_expect>)
# Each suite has its own display, Wine prefix and simulators, so they run beside
# the other tests; COST (seconds, about) starts the long ones first.
set_tests_properties(wine_console PROPERTIES LABELS wine TIMEOUT 600 COST 120
                     ENVIRONMENT "ZANTROX_VERSION=${PROJECT_VERSION};ZANTROX_WIN_CLI=${CMAKE_BINARY_DIR}/win/cli/zantrox-cli.exe")

# zantrox-cli.exe, built by the same cross build, against a simulator on COM1; its
# captures and zantrox-extcap.exe (beside it) against the Linux programs'.
set(ZANTROX_WIN_CLI_EXE ${CMAKE_BINARY_DIR}/win/cli/zantrox-cli.exe)
add_test(NAME wine_cli
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_wine_cli_tests.sh ${ZANTROX_WIN_CLI_EXE} $<TARGET_FILE:zantrox-sim>
                 $<TARGET_FILE:zantrox-cli> $<TARGET_FILE:zantrox-extcap>
                 ${CMAKE_BINARY_DIR}/win/extcap/zantrox-extcap.exe)
set_tests_properties(wine_cli PROPERTIES LABELS wine TIMEOUT 300 COST 60)

# zantrox-cli.exe over TLS (Schannel under Wine, which needs libgnutls30) against ser2net's ssl gensio.
add_test(NAME wine_tls
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_wine_tls_tests.sh ${ZANTROX_WIN_CLI_EXE} $<TARGET_FILE:zantrox-sim>)
set_tests_properties(wine_tls PROPERTIES LABELS wine TIMEOUT 300 COST 40)
