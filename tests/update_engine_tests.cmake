# Helpers of every test that sends a system file and checks the instrument's flash
# (tests/update_test_support.h), the fault matrix every transport path is run against
# (tests/fault_matrix.h) and what every path is put through (tests/transport_paths.h). The
# recording log surface comes with the test's own choices.
add_library(orv_update_test_support STATIC update_test_support.cpp fault_matrix.cpp
    transport_paths.cpp)
target_link_libraries(orv_update_test_support PUBLIC orv_update_engine orv_update_window orv_logview orv_sim
    orv_test_support
    PRIVATE ${orv_gtest_main})

# The update procedure, the version inquiry and the analysis report, end to end against
# the virtual instrument over the in-process transport double.
orv_add_test(update_engine_test SOURCES update_engine_test.cpp
    LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support
    LABELS engine)
orv_link_implementations(update_engine_test TRANSPORTS instrument LOG_SURFACE recording)
orv_add_test(version_inquiry_test SOURCES version_inquiry_test.cpp
    LIBS orv_update_engine orv_sysfile_analysis orv_sim orv_test_support
    LABELS engine)
orv_link_implementations(version_inquiry_test TRANSPORTS instrument LOG_SURFACE recording)

# The timer resolution the update and the version inquiry hold while they run.
orv_add_test(timer_resolution_test SOURCES timer_resolution_test.cpp
    LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support
    LABELS engine)
orv_link_implementations(timer_resolution_test TRANSPORTS instrument LOG_SURFACE recording)
