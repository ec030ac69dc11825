# The executable's resources, loaded back through the Windows loader.
if(WIN32)
    orv_add_test(resources_test SOURCES resources_test.cpp
        LIBS orv_resources user32 gdi32 version LABELS resources)
    # The dialog templates are read from the updater's own image.
    add_dependencies(resources_test OrventUpdater)
else()
    # The committed icon must be what the script draws, so a design change is never lost.
    find_package(Python3 COMPONENTS Interpreter QUIET)
    if(Python3_Interpreter_FOUND)
        add_test(NAME native.resources.IconMatchesItsScript
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make_icon.py --check
                    --output ${CMAKE_SOURCE_DIR}/resources/vwicon.ico)
        set_tests_properties(native.resources.IconMatchesItsScript PROPERTIES LABELS resources)
    endif()
endif()
