# orvent-update, the Linux command-line program: its own formatting and parsing here, and
# the real program end to end against serial-instrument (cli_updater.sh, one test a case).
if(NOT WIN32 AND TARGET orvent-update)
    orv_add_test(cli_test SOURCES cli_test.cpp LIBS orv_cli LABELS cli)
    orv_link_implementations(cli_test SERIAL product MIDI absent USB_BULK absent
        KERNEL_MIDI absent)
    foreach(case update fault-status fault-extended fault-wrong-code fault-other-product
                 fault-silent current no-answer abort confirm rehearse info usage completion usb)
        add_test(NAME ${orv_test_prefix}cli.${case}
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_updater.sh ${case}
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
        set_tests_properties(${orv_test_prefix}cli.${case} PROPERTIES LABELS cli TIMEOUT 120)
    endforeach()
    # A run after a stopped one, one file read by several runs, an instrument gone mid-run.
    foreach(case rerun-version rerun-update shared-file gone json)
        add_test(NAME ${orv_test_prefix}cli.${case}
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_updater.sh ${case}
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
        set_tests_properties(${orv_test_prefix}cli.${case} PROPERTIES LABELS cli TIMEOUT 120)
    endforeach()
    # Stops with and without a terminal to ask on, in the foreground and the background;
    # what the run says of the blocks it sent; the progress line on a terminal
    # (tests/pty_job.py gives the program one).
    foreach(case abort-no-terminal abort-background stop-signals skip-first newer
                 progress-failure progress-stop)
        add_test(NAME ${orv_test_prefix}cli.${case}
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_updater.sh ${case}
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
        set_tests_properties(${orv_test_prefix}cli.${case} PROPERTIES LABELS cli TIMEOUT 120)
    endforeach()
    # A device or system file that will not open: why, and what to do.
    add_test(NAME ${orv_test_prefix}cli.errors
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_updater.sh errors
                ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    set_tests_properties(${orv_test_prefix}cli.errors PROPERTIES LABELS cli TIMEOUT 120)
    # Finding the instrument: the port inquiry on every line, and --serial auto.
    foreach(case probe auto)
        add_test(NAME ${orv_test_prefix}cli.${case}
            COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_updater.sh ${case}
                    ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
        set_tests_properties(${orv_test_prefix}cli.${case} PROPERTIES LABELS cli TIMEOUT 120)
    endforeach()
endif()
