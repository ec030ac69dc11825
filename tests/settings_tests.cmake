# The settings logic over the in-memory store, in both builds.
orv_add_test(settings_test SOURCES settings_test.cpp LIBS orv_settings LABELS settings)
orv_link_implementations(settings_test SETTINGS_STORE memory)

# The registry store itself, under Wine.
if(WIN32)
    orv_add_test(settings_registry_test SOURCES settings_registry_test.cpp
        LIBS orv_settings orv_test_support LABELS settings)
    orv_link_implementations(settings_registry_test SETTINGS_STORE registry)
endif()
