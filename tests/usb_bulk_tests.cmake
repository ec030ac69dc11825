# The USB bulk transport and its device manager over the simulated driver, including
# whole updates through the engine. Under Wine the test also checks the device manager's
# exports from its own executable, linked with the product's export list.
if(TARGET orv_usb_bulk AND TARGET orv_usb_bulk_driver_sim)
    set(usb_bulk_test_sources usb_bulk_test.cpp)
    if(WIN32)
        list(APPEND usb_bulk_test_sources usb_bulk_exports_win32_test.cpp)
    endif()
    orv_add_test(usb_bulk_test SOURCES ${usb_bulk_test_sources}
        LIBS orv_update_test_support orv_update_engine orv_update orv_usb_bulk
             orv_usb_bulk_driver_sim orv_logsurface_record orv_sim orv_test_support
             orv_unused_serial orv_unused_midi orv_unused_kernel_midi
        LABELS usb_bulk)
    if(WIN32)
        target_link_libraries(usb_bulk_test PRIVATE orv_usb_bulk_exports)
    endif()
endif()

# The real driver access under Wine, where the driver's class has no device.
if(TARGET orv_usb_bulk AND TARGET orv_usb_bulk_driver_win32)
    orv_add_test(usb_bulk_driver_win32_test SOURCES usb_bulk_driver_win32_test.cpp
        LIBS orv_usb_bulk orv_usb_bulk_driver_win32 LABELS usb_bulk)
endif()
