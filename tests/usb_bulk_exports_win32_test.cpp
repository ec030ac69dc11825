// The executable exports the device manager's eight operations under their plain names,
// and each name leads to the operation itself.
#include "transports/usb_bulk.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(UsbBulkExports, PlainNamesLeadToTheOperations) {
    const struct {
        const char* name;
        const void* function;
    } exports[] = {
        {"init_cusbbulk", reinterpret_cast<const void*>(init_cusbbulk)},
        {"free_cusbbulk", reinterpret_cast<const void*>(free_cusbbulk)},
        {"UsbOpenDevice", reinterpret_cast<const void*>(UsbOpenDevice)},
        {"UsbOpenDeviceVID", reinterpret_cast<const void*>(UsbOpenDeviceVID)},
        {"UsbOpenPipe", reinterpret_cast<const void*>(UsbOpenPipe)},
        {"UsbCloseDevice", reinterpret_cast<const void*>(UsbCloseDevice)},
        {"UsbAbortPipe", reinterpret_cast<const void*>(UsbAbortPipe)},
        {"UsbCheckDevice", reinterpret_cast<const void*>(UsbCheckDevice)},
    };
    HMODULE self = GetModuleHandleA(nullptr);
    for (const auto& e : exports) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(reinterpret_cast<const void*>(GetProcAddress(self, e.name)), e.function);
    }
}

} // namespace
