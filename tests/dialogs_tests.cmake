# The recent-files list (natively and under Wine, where the real menu is rebuilt too) and
# the Stop, mode and About dialogs (Wine only: they are modal dialogs from the resources).
set(recent_files_test_sources recent_files_test.cpp)
set(recent_files_test_libs orv_recent_files orv_settings orv_settings_memory)
if(WIN32)
    list(APPEND recent_files_test_sources recent_menu_win32_test.cpp)
    list(APPEND recent_files_test_libs orv_resources)
endif()
orv_add_test(recent_files_test SOURCES ${recent_files_test_sources}
    LIBS ${recent_files_test_libs} LABELS app)
