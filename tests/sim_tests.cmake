orv_add_test(virtual_instrument_test SOURCES virtual_instrument_test.cpp
    LIBS orv_sim_transport orv_sim LABELS sim)
orv_add_test(vsb_writer_test SOURCES vsb_writer_test.cpp
    LIBS orv_sim orv_sysfile orv_test_support LABELS sim)
