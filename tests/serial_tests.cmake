# The serial port transport.
if(TARGET orv_serial AND NOT WIN32)
    orv_add_test(serial_port_test SOURCES serial_port_test.cpp
        LIBS orv_serial LABELS serial)
endif()

# A whole update over a pseudo-terminal with serial-instrument at its far end.
if(TARGET orv_serial AND TARGET serial-instrument AND NOT WIN32)
    orv_add_test(serial_update_test SOURCES serial_update_test.cpp
        LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support LABELS serial)
    orv_link_implementations(serial_update_test
        SERIAL product MIDI absent USB_BULK absent KERNEL_MIDI absent
        LOG_SURFACE recording)
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

# A whole raw-mode update under Wine with serial-instrument at the far end of COM3. The
# Windows build has no native programs of its own, so the tool comes from a native build
# of this source tree made beside it (only its one target is built there).
if(TARGET orv_serial AND TARGET orv_update_engine AND TARGET orv_midi AND WIN32)
    include(ExternalProject)
    set(orv_native_tools_dir ${CMAKE_BINARY_DIR}/native-tools)
    ExternalProject_Add(orv_native_serial_instrument
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${orv_native_tools_dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF
        BUILD_COMMAND ${CMAKE_COMMAND} --build ${orv_native_tools_dir} --target serial-instrument
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        EXCLUDE_FROM_ALL ON)

    set(orv_serial_flash_dump ${CMAKE_BINARY_DIR}/serial_update_flash.bin)
    # Protocol 1 with raw packets and two-phase writing; the test's file and port settings
    # agree with these options.
    set(orv_serial_instrument
        "${orv_native_tools_dir}/sim/serial-instrument --baud 57600 --protocol 1 --packet-size 1024 --flags 1 --write-steps 2 --version 1=1.03,2=2.00,3=1.00 --exit-after-idle 2 --flash-dump ${orv_serial_flash_dump} --flash-range 0:0x30400")
    add_executable(serial_update_wine_test serial_update_wine_test.cpp)
    target_link_libraries(serial_update_wine_test PRIVATE
        orv_update_test_support orv_update_engine orv_sim orv_test_support ${orv_gtest_main})
    orv_link_implementations(serial_update_wine_test
        SERIAL product MIDI product USB_BULK absent KERNEL_MIDI absent
        LOG_SURFACE recording)
    target_compile_definitions(serial_update_wine_test PRIVATE
        SERIAL_FLASH_DUMP="Z:${orv_serial_flash_dump}")
    add_dependencies(serial_update_wine_test orv_native_serial_instrument)
    set_target_properties(serial_update_wine_test PROPERTIES CROSSCOMPILING_EMULATOR
        "${ORV_PYTHON3};${CMAKE_CURRENT_SOURCE_DIR}/serial_line_peer.py;--pty;${CMAKE_BINARY_DIR}/com3;--instrument;${orv_serial_instrument};--;${CMAKE_CROSSCOMPILING_EMULATOR}")
    gtest_discover_tests(serial_update_wine_test
        TEST_PREFIX "${orv_test_prefix}"
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS serial RESOURCE_LOCK com3 TIMEOUT 300)
endif()

# The portable framing of a receive, once, over the test's own fake OS half instead of
# the real one.
if(NOT WIN32)
    orv_add_test(serial_framing_test
        SOURCES serial_framing_test.cpp ${CMAKE_SOURCE_DIR}/transports/serial_port.cpp
        LIBS orv_platform LABELS serial)
endif()
