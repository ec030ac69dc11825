// The libusb half of the USB bulk driver on a machine without the update device: none of
// the other devices on the bus is taken for one of ours, the transport reports the missing
// device in its own words, and paths and handles that name nothing are refused.
#include "platform/text.h"
#include "transports/usb_bulk.h"
#include "transports/usb_bulk_driver.h"
#include "transports/usb_bulk_driver_libusb.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(UsbBulkLibusb, WithoutTheUpdateDeviceNothingOpens) {
    int bus = 0;
    int address = 0;
    if (UsbDriverLocate(DEFAULT_VENDOR_ID, USB_VERUP_PRODUCT_ID, &bus, &address)) {
        GTEST_SKIP() << "an update device is attached (bus " << bus << " address " << address
                     << ")";
    }
    init_cusbbulk();
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(UsbBulkOpen(errorText), 0);
    EXPECT_STREQ(errorText, "Usb Open Error!(Can't find VerUp Device)");
    UsbBulkAbort();
    UsbBulkClose();
    free_cusbbulk();

    // No device sits at bus 999, and the others are not paths this driver hands out.
    for (const char* path : {"/dev/bus/usb/999/999", "/dev/bus/usb/999/999\\dpipe01",
                             "/dev/bus/usb/1/1", "/dev/bus/usb/001/001\\dpipe", "COM1", ""}) {
        EXPECT_EQ(UsbDriverOpen(path), USB_HANDLE_NONE) << path;
    }
    unsigned char bytes[18] = {0};
    uint32_t count = 7;
    for (UsbHandle handle : {USB_HANDLE_NONE, (UsbHandle)0, (UsbHandle)0x100, (UsbHandle)0x7FFF}) {
        EXPECT_EQ(UsbDriverRequest(handle, IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR, bytes, sizeof bytes,
                                   sizeof bytes, &count),
                  0);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(UsbDriverRead(handle, bytes, sizeof bytes, &count), 0);
        EXPECT_EQ(UsbDriverWrite(handle, bytes, sizeof bytes, &count), 0);
        UsbDriverClose(handle);
    }
}

// The interface paths are the devices of our vendor, whatever else is attached.
TEST(UsbBulkLibusb, OnlyOurVendorsDevicesAreListed) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        GTEST_SKIP() << "libusb cannot reach the USB devices here (no /dev/bus/usb)";
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::vector<std::string> ours;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == DEFAULT_VENDOR_ID) {
            char path[PATH_SIZE];
            TextFormat(path, sizeof path, "/dev/bus/usb/%03d/%03d", libusb_get_bus_number(list[i]),
                       libusb_get_device_address(list[i]));
            ours.push_back(path);
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(context);

    std::vector<std::string> listed;
    char path[PATH_SIZE];
    for (int index = 0; UsbDriverInterfacePath(index, path, sizeof path) == USB_DRIVER_PATH_OK;
         index++) {
        listed.push_back(path);
    }
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(listed, ours) << count << " devices attached";
}

} // namespace
