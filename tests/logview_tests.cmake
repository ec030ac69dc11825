# The log view's row logic and geometry, drawn on the recording surface.
orv_add_test(log_view_test SOURCES log_view_test.cpp
    LIBS orv_logview orv_logsurface_record LABELS logview)
orv_add_test(log_view_threads_test SOURCES log_view_threads_test.cpp
    LIBS orv_logview orv_logsurface_record LABELS threaded)
if(WIN32)
    orv_add_test(log_view_gdi_test SOURCES log_view_gdi_test.cpp
        LIBS orv_logview orv_logsurface_gdi LABELS logview)
endif()
