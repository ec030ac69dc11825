orv_add_test(virtual_instrument_test SOURCES virtual_instrument_test.cpp
    LIBS orv_sim_transport orv_sim LABELS sim)
