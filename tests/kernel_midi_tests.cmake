# The kernel USB-MIDI driver transport over the simulated driver, natively and under
# Wine; a ThreadSanitizer build checks the reader thread against the receiver.
orv_add_test(kernel_midi_test
    SOURCES kernel_midi_test.cpp
    LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support
    LABELS kernel_midi)
orv_link_implementations(kernel_midi_test
    SERIAL absent MIDI absent USB_BULK absent KERNEL_MIDI product
    KERNEL_MIDI_DRIVER simulated LOG_SURFACE recording)
