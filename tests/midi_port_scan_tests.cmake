# The automatic MIDI port detection, against the stand-in winmm.dll in its folder.
if(WIN32)
    orv_add_test(midi_port_scan_test SOURCES midi_port_scan_test.cpp
        LIBS orv_midi_port_scan orv_update orv_window_test_support LABELS midi)
    set_target_properties(midi_port_scan_test PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
    add_dependencies(midi_port_scan_test orv_winmm_standin)
endif()
