# The USB bulk transport and its device manager over the simulated driver, including
# whole updates through the engine. Under Wine the test also checks the device manager's
# exports from its own executable, linked with the product's export list.
set(usb_bulk_test_sources usb_bulk_test.cpp)
if(WIN32)
    list(APPEND usb_bulk_test_sources usb_bulk_exports_win32_test.cpp)
endif()
orv_add_test(usb_bulk_test SOURCES ${usb_bulk_test_sources}
    LIBS orv_update_test_support orv_update_engine orv_sim orv_test_support
    LABELS usb_bulk)
orv_link_implementations(usb_bulk_test
    SERIAL absent MIDI absent USB_BULK product KERNEL_MIDI absent
    USB_BULK_DRIVER simulated LOG_SURFACE recording)
if(WIN32)
    target_link_libraries(usb_bulk_test PRIVATE orv_usb_bulk_exports)
endif()

# The real driver access under Wine, where the driver's class has no device.
if(WIN32)
    orv_add_test(usb_bulk_driver_win32_test SOURCES usb_bulk_driver_win32_test.cpp
        LABELS usb_bulk)
    orv_link_implementations(usb_bulk_driver_win32_test
        USB_BULK product USB_BULK_DRIVER win32)
endif()

# The libusb driver half orvent-update links, on a machine without the update device.
if(TARGET orv_usb_bulk_driver_libusb)
    orv_add_test(usb_bulk_libusb_test SOURCES usb_bulk_libusb_test.cpp LABELS usb_bulk)
    orv_link_implementations(usb_bulk_libusb_test USB_BULK product USB_BULK_DRIVER libusb)
endif()
