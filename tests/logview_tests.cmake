# The log view's row logic and geometry, drawn on the recording surface.
orv_add_test(log_view_test SOURCES log_view_test.cpp LIBS orv_logview LABELS logview)
orv_link_implementations(log_view_test LOG_SURFACE recording)
orv_add_test(log_view_threads_test SOURCES log_view_threads_test.cpp
    LIBS orv_logview LABELS threaded)
orv_link_implementations(log_view_threads_test LOG_SURFACE recording)
if(WIN32)
    orv_add_test(log_view_gdi_test SOURCES log_view_gdi_test.cpp
        LIBS orv_logview LABELS logview)
    orv_link_implementations(log_view_gdi_test LOG_SURFACE gdi)
endif()
