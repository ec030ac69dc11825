# The MIDI transport. The Windows build tests the whole transport against the stand-in
# winmm.dll, in the folder the stand-in lives in; natively its receive ring is tested.
if(WIN32)
    orv_add_test(midi_transport_test SOURCES midi_transport_test.cpp
        LIBS orv_midi orv_window_test_support LABELS midi)
    set_target_properties(midi_transport_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(midi_transport_test orv_winmm_standin)
else()
    orv_add_test(midi_ring_test SOURCES midi_ring_test.cpp LIBS orv_midi_ring LABELS midi)
endif()

# Off Windows the transport runs over raw MIDI ports: tested over the stand-in ports with
# the instrument behind them, through to whole updates by the engine; and the alsa-lib
# ports on this machine, which has no sound card.
if(NOT WIN32)
    orv_add_test(midi_transport_posix_test SOURCES midi_transport_posix_test.cpp
        LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support LABELS midi)
    orv_link_implementations(midi_transport_posix_test
        SERIAL absent MIDI product USB_BULK absent KERNEL_MIDI absent RAW_MIDI simulated
        LOG_SURFACE recording)
endif()
if(TARGET orv_rawmidi_alsa)
    orv_add_test(rawmidi_alsa_test SOURCES rawmidi_alsa_test.cpp LABELS midi)
    orv_link_implementations(rawmidi_alsa_test MIDI product RAW_MIDI alsa)
endif()

# A whole update over MIDI: the engine, the real transport and the stand-in's instrument.
if(WIN32)
    orv_add_test(midi_update_test SOURCES midi_update_test.cpp
        LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support LABELS midi)
    orv_link_implementations(midi_update_test
        SERIAL product MIDI product USB_BULK absent KERNEL_MIDI absent
        LOG_SURFACE recording)
    set_target_properties(midi_update_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(midi_update_test orv_winmm_standin)
endif()
