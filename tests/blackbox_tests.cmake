# Black-box runs of the real executable under Wine (see blackbox_updater.sh). They share
# the one updater window a Wine prefix may have, and the serial one COM3's link.
if(WIN32)
    foreach(case midi-user serial-developer single-instance)
        add_test(NAME wine.blackbox.${case}
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/blackbox_updater.sh ${case}
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
        set_tests_properties(wine.blackbox.${case} PROPERTIES
            LABELS blackbox RESOURCE_LOCK "updater-window;com3" TIMEOUT 400)
    endforeach()
endif()
