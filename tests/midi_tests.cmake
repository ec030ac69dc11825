# The MIDI transport. Natively only the receive ring exists.
if(NOT WIN32)
    orv_add_test(midi_ring_test SOURCES midi_ring_test.cpp LIBS orv_midi_ring LABELS midi)
endif()
