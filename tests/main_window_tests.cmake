# The main window in-process under Wine, with the recording log surface, the in-memory
# settings store, recorded transport opening and the virtual instrument behind the
# in-process transport double.
if(WIN32)
    orv_add_test(main_window_test SOURCES main_window_test.cpp
        LIBS orv_main_window orv_update_test_support orv_sim orv_resources orv_test_support
             orv_window_test_support
        LABELS window LOCK updater-window)
    orv_link_implementations(main_window_test
        TRANSPORTS instrument SETTINGS_STORE memory LOG_SURFACE recording)
endif()
