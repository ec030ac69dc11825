# Start-up logic: command line, file-name hand-over and mode settling.
orv_add_test(command_line_test SOURCES command_line_test.cpp
    LIBS orv_app_logic orv_settings_memory orv_test_support LABELS app)
orv_add_test(file_name_parts_test SOURCES file_name_parts_test.cpp
    LIBS orv_app_logic orv_settings_memory LABELS app)
orv_add_test(start_mode_test SOURCES start_mode_test.cpp
    LIBS orv_app_logic orv_settings_memory LABELS app)
