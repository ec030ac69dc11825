# The update procedure, the version inquiry and the analysis report, end to end against
# the virtual instrument over the in-process transport double.
orv_add_test(update_engine_test SOURCES update_engine_test.cpp
    LIBS orv_update_engine orv_sim_transport orv_sim orv_logsurface_record orv_test_support
    LABELS engine)
orv_add_test(version_inquiry_test SOURCES version_inquiry_test.cpp
    LIBS orv_update_engine orv_sysfile_analysis orv_sim_transport orv_sim
         orv_logsurface_record orv_test_support
    LABELS engine)
