# The Config dialog, run modally from the resources under Wine, beside the stand-in
# winmm.dll so that each test sets the MIDI ports the lists are filled from.
if(WIN32 AND TARGET orv_config_dialog)
    orv_add_test(config_dialog_test SOURCES config_dialog_test.cpp
        LIBS orv_config_dialog orv_settings orv_resources LABELS app)
    orv_link_implementations(config_dialog_test SETTINGS_STORE memory)
    if(TARGET orv_winmm_standin)
        set_target_properties(config_dialog_test PROPERTIES
            RUNTIME_OUTPUT_DIRECTORY ${ORV_STANDIN_DIR})
        add_dependencies(config_dialog_test orv_winmm_standin)
    endif()
endif()
