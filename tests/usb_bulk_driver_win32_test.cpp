// The Windows driver access with no device of the driver's class present (as under
// Wine): the search ends cleanly and the transport reports the missing device.
#include "platform/text.h"
#include "transports/usb_bulk.h"

#include <gtest/gtest.h>

namespace {

TEST(UsbBulkDriverWin32, NoDeviceOfTheClassMeansCantFindVerUpDevice) {
    init_cusbbulk();
    EXPECT_EQ(UsbOpenDeviceVID(DEFAULT_VENDOR_ID, USB_VERUP_PRODUCT_ID), USB_NO_DEVICE);
    char errorText[PATH_SIZE] = "";
    EXPECT_EQ(UsbBulkOpen(errorText), 0);
    EXPECT_STREQ(errorText, "Usb Open Error!(Can't find VerUp Device)");
    UsbBulkAbort();
    UsbBulkClose();
    free_cusbbulk();
}

} // namespace
