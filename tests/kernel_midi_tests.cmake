# The kernel USB-MIDI driver transport over the simulated driver, natively and under
# Wine; a ThreadSanitizer build checks the reader thread against the receiver.
if(TARGET orv_kernel_midi AND TARGET orv_kernel_midi_driver_sim)
    orv_add_test(kernel_midi_test
        SOURCES kernel_midi_test.cpp
        LIBS orv_update_test_support orv_update_engine orv_update orv_kernel_midi
             orv_kernel_midi_driver_sim orv_logsurface_record orv_sim orv_test_support
             orv_unused_serial orv_unused_midi orv_unused_usb_bulk
        LABELS kernel_midi)
endif()
