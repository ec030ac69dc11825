# Targets for the transports' receive paths, the USB descriptors, the command line and
# the stored settings.

# The serial framing runs over an OS half inside the target, so it takes the portable
# source rather than orv_serial, which brings the POSIX half along.
orv_add_fuzzer(serial_framing
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/serial_framing_fuzz.cpp
                       ${CMAKE_SOURCE_DIR}/transports/serial_port.cpp
               LIBS orv_platform)
orv_add_fuzzer(midi_ring SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/midi_ring_fuzz.cpp
               LIBS orv_midi_ring orv_platform)
# The command line's file-system half is answered inside the target, so it takes the
# portable sources rather than orv_app_logic, which brings the POSIX half along.
orv_add_fuzzer(command_line
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command_line_fuzz.cpp
                       ${CMAKE_SOURCE_DIR}/app/command_line.cpp
                       ${CMAKE_SOURCE_DIR}/app/file_name_parts.cpp
               LIBS orv_platform)
orv_add_fuzzer(settings SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/settings_fuzz.cpp
               LIBS orv_settings orv_platform)
orv_link_implementations(fuzz_settings SETTINGS_STORE memory)
orv_add_fuzzer(usb_descriptors SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/usb_descriptors_fuzz.cpp
               LIBS orv_platform)
orv_link_implementations(fuzz_usb_descriptors USB_BULK product USB_BULK_DRIVER simulated)
# The Linux MIDI transport puts messages together from a raw port's byte stream; the port
# is answered inside the target.
orv_add_fuzzer(midi_posix_framing
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/midi_posix_framing_fuzz.cpp
                       ${CMAKE_SOURCE_DIR}/midi/midi_transport_posix.cpp
               LIBS orv_platform)
