# The serial port transport.
if(TARGET orv_serial AND NOT WIN32)
    orv_add_test(serial_port_test SOURCES serial_port_test.cpp
        LIBS orv_serial LABELS serial)
endif()
