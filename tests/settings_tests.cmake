# The settings logic over the in-memory store, in both builds.
orv_add_test(settings_test SOURCES settings_test.cpp
    LIBS orv_settings orv_settings_memory LABELS settings)

# The registry store itself, under Wine.
if(WIN32)
    orv_add_test(settings_registry_test SOURCES settings_registry_test.cpp
        LIBS orv_settings orv_settings_registry orv_test_support LABELS settings)
endif()
