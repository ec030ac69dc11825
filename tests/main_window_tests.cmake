# The main window in-process under Wine, with the recording log surface, the in-memory
# settings store, recorded transport opening and the virtual instrument behind the
# in-process transport double.
if(WIN32)
    orv_add_test(main_window_test
        SOURCES main_window_test.cpp doubles/transport_open_doubles.cpp
                $<TARGET_OBJECTS:orv_settings_memory>
        LIBS orv_main_window orv_update_test_support orv_sim_transport orv_sim
             orv_logsurface_record orv_resources orv_test_support orv_window_test_support
        LABELS window LOCK updater-window)
endif()
