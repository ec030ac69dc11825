# The main window's automatic port detection branch: the detection runs on the stand-in
# winmm.dll (so the executable lives in its folder), the found ports are opened through
# the recorded transport doubles and the version inquiry goes to the in-process instrument.
if(WIN32)
    orv_add_test(main_window_port_scan_test
        SOURCES main_window_port_scan_test.cpp doubles/transport_open_doubles.cpp
                $<TARGET_OBJECTS:orv_settings_memory>
        LIBS orv_main_window orv_update_test_support orv_sim_transport orv_sim
             orv_logsurface_record orv_resources orv_test_support orv_window_test_support
        LABELS window LOCK updater-window)
    set_target_properties(main_window_port_scan_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(main_window_port_scan_test orv_winmm_standin)
endif()
