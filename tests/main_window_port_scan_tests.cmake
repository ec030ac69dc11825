# The main window's automatic port detection branch: the detection runs on the stand-in
# winmm.dll (so the executable lives in its folder), the found ports are opened through
# the recorded transport doubles and the version inquiry goes to the in-process instrument.
if(WIN32)
    orv_add_test(main_window_port_scan_test SOURCES main_window_port_scan_test.cpp
        LIBS orv_main_window orv_update_test_support orv_sim orv_resources orv_test_support
             orv_window_test_support
        LABELS window LOCK updater-window)
    orv_link_implementations(main_window_port_scan_test
        TRANSPORTS instrument SETTINGS_STORE memory LOG_SURFACE recording)
    set_target_properties(main_window_port_scan_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(main_window_port_scan_test orv_winmm_standin)
endif()
