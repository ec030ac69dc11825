# Start-up logic: command line, file-name hand-over and mode settling.
orv_add_test(command_line_test SOURCES command_line_test.cpp
    LIBS orv_app_logic orv_test_support LABELS app)
orv_link_implementations(command_line_test SETTINGS_STORE memory)
orv_add_test(file_name_parts_test SOURCES file_name_parts_test.cpp
    LIBS orv_app_logic LABELS app)
orv_link_implementations(file_name_parts_test SETTINGS_STORE memory)
orv_add_test(start_mode_test SOURCES start_mode_test.cpp
    LIBS orv_app_logic LABELS app)
orv_link_implementations(start_mode_test SETTINGS_STORE memory)
