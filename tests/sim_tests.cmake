orv_add_test(virtual_instrument_test SOURCES virtual_instrument_test.cpp
    LIBS orv_sim LABELS sim)
orv_link_implementations(virtual_instrument_test TRANSPORTS instrument)
orv_add_test(vsb_writer_test SOURCES vsb_writer_test.cpp
    LIBS orv_sim orv_sysfile orv_test_support LABELS sim)

# Whole updates from a fresh seed each time (sim/update_soak.cpp): random files,
# instruments, transports, faults and stops, each run checked. The seed is printed;
# `update-soak --replay SEED` repeats one run and tells what it chose.
if(NOT WIN32)
    if("thread" IN_LIST ORV_SANITIZE)
        set(orv_soak_runs 100)
    else()
        set(orv_soak_runs 300)
    endif()
    add_test(NAME ${orv_test_prefix}update_soak COMMAND update-soak --runs ${orv_soak_runs})
    set_tests_properties(${orv_test_prefix}update_soak PROPERTIES LABELS soak TIMEOUT 600)
endif()
