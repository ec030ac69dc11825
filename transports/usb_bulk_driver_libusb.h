// What the libusb half of the USB bulk driver (usb_bulk_driver_libusb.cpp) offers beside
// the driver calls of usb_bulk_driver.h: where an attached device sits, found without
// opening it, for a listing.
#pragma once

// Bus number and address of the first attached device with these ids (low 16 bits), in
// bus and address order. 0 when none is attached or libusb cannot reach the devices.
int UsbDriverLocate(int vendorId, int productId, int* bus, int* address);
