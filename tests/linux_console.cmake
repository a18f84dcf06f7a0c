# The Linux front end's tests; included from tests/CMakeLists.txt on Linux.

# Key translation (pure) and the menu bar built from the command table (FLTK's
# menu item type; no display needed).
zantrox_test(keymap_test SOURCES keymap_test.cpp LABELS unit)
target_link_libraries(keymap_test PRIVATE zantrox_keymap zantrox_fltk_menu)

# End to end: the console under Xvfb against zantrox-sim. Skipped (77) where Xvfb,
# xdotool, xwd or ImageMagick's convert are missing.
find_package(X11)
if(TARGET zantrox AND TARGET zantrox-sim AND X11_FOUND)
    add_executable(zantrox-e2e-close e2e/close_window.cpp)
    target_include_directories(zantrox-e2e-close PRIVATE ${X11_INCLUDE_DIR})
    target_link_libraries(zantrox-e2e-close PRIVATE ${X11_LIBRARIES})
    zantrox_warnings(zantrox-e2e-close)

    add_test(NAME console_e2e
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/console_e2e.sh
                     $<TARGET_FILE:zantrox> $<TARGET_FILE:zantrox-sim>
                     $<TARGET_FILE:zantrox-e2e-close>
                     ${CMAKE_CURRENT_BINARY_DIR}/console-e2e.png)
    set_tests_properties(console_e2e PROPERTIES
                         LABELS e2e
                         TIMEOUT 120
                         COST 8
                         SKIP_RETURN_CODE 77)
endif()

# For tests/e2e/startup_bench.sh (a benchmark, not a test): reports when the
# console's window is mapped and first painted.
if(X11_FOUND)
    add_executable(zantrox-e2e-paint-probe e2e/paint_probe.cpp)
    target_include_directories(zantrox-e2e-paint-probe PRIVATE ${X11_INCLUDE_DIR})
    target_link_libraries(zantrox-e2e-paint-probe PRIVATE ${X11_LIBRARIES})
    zantrox_warnings(zantrox-e2e-paint-probe)
endif()
