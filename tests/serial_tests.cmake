# The serial port transport.
if(TARGET orv_serial AND NOT WIN32)
    orv_add_test(serial_port_test SOURCES serial_port_test.cpp
        LIBS orv_serial LABELS serial)
endif()

# A whole update over a pseudo-terminal with serial-instrument at its far end.
if(TARGET orv_serial AND TARGET serial-instrument AND NOT WIN32)
    orv_add_test(serial_update_test SOURCES serial_update_test.cpp
        LIBS orv_update_engine orv_update orv_serial orv_driver_transports_absent
             orv_logsurface_record orv_sim orv_test_support
        LABELS serial)
    target_compile_definitions(serial_update_test PRIVATE
        SERIAL_INSTRUMENT_PATH="$<TARGET_FILE:serial-instrument>")
    add_dependencies(serial_update_test serial-instrument)
endif()

# Under Wine, COM1..COM4 lead to symlinks in the build tree (scripts/wine-env.sh). Each
# test process runs inside tests/serial_line_peer.py, which points COM3 at a fresh
# pseudo-terminal and plays the far end of the line; COM1 is pointed at /dev/null. The
# links are shared by every serial test of the build, hence the resource lock.
if(TARGET orv_serial AND WIN32)
    find_program(ORV_PYTHON3 python3 REQUIRED)
    add_executable(serial_port_wine_test serial_port_wine_test.cpp)
    target_link_libraries(serial_port_wine_test PRIVATE orv_serial ${orv_gtest_main})
    set_target_properties(serial_port_wine_test PROPERTIES CROSSCOMPILING_EMULATOR
        "${ORV_PYTHON3};${CMAKE_CURRENT_SOURCE_DIR}/serial_line_peer.py;--pty;${CMAKE_BINARY_DIR}/com3;--link;${CMAKE_BINARY_DIR}/com1=/dev/null;--;${CMAKE_CROSSCOMPILING_EMULATOR}")
    gtest_discover_tests(serial_port_wine_test
        TEST_PREFIX "${orv_test_prefix}"
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS serial RESOURCE_LOCK com3 TIMEOUT 300)
endif()
