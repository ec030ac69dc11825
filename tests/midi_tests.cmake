# The MIDI transport. Natively only the receive ring exists; the Windows build tests the
# whole transport against the stand-in winmm.dll, in the folder the stand-in lives in.
if(WIN32)
    orv_add_test(midi_transport_test SOURCES midi_transport_test.cpp
        LIBS orv_midi LABELS midi)
    set_target_properties(midi_transport_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(midi_transport_test orv_winmm_standin)
else()
    orv_add_test(midi_ring_test SOURCES midi_ring_test.cpp LIBS orv_midi_ring LABELS midi)
endif()
