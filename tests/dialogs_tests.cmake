# The recent-files list (natively and under Wine, where the real menu is rebuilt too) and
# the Stop, mode and About dialogs (Wine only: they are modal dialogs from the resources).
set(recent_files_test_sources recent_files_test.cpp)
set(recent_files_test_libs orv_recent_files orv_settings)
if(WIN32)
    list(APPEND recent_files_test_sources recent_menu_win32_test.cpp)
    list(APPEND recent_files_test_libs orv_resources)
endif()
orv_add_test(recent_files_test SOURCES ${recent_files_test_sources}
    LIBS ${recent_files_test_libs} LABELS app)
orv_link_implementations(recent_files_test SETTINGS_STORE memory)

# The dialog tests share the display's keyboard focus, so they run one at a time.
if(WIN32)
    add_executable(dialogs_test dialogs_test.cpp)
    target_link_libraries(dialogs_test PRIVATE orv_app_dialogs orv_settings orv_resources
        ${orv_gtest_main})
    orv_link_implementations(dialogs_test TRANSPORTS recording SETTINGS_STORE memory)
    gtest_discover_tests(dialogs_test
        TEST_PREFIX "${orv_test_prefix}"
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS app RESOURCE_LOCK dialog_focus TIMEOUT 300)
endif()
