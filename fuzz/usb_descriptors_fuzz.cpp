// The configuration descriptor walks of the USB bulk device manager, with descriptors of
// any length and content: once directly over an exactly sized heap copy of the input, so
// that any read past the bytes received is caught, and once through the device manager
// over the simulated driver, which hands the same bytes back as the device's
// configuration.
#include "tests/doubles/usb_bulk_driver_sim.h"
#include "transports/usb_bulk.h"
#include "transports/usb_bulk_descriptors.h"
#include "transports/usb_bulk_driver.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Check(int condition) {
    if (!condition) {
        abort();
    }
}

// The selectors tried on every input: both directions, bulk and interrupt, the first
// few ordinals and the last one.
const unsigned int kSelectors[] = {0x00, 0x01, 0x02, 0x3F, 0x40, 0x41, 0x80,
                                   0x81, 0x82, 0xBF, 0xC0, 0xC1, 0xFF};

void WalkDirectly(const uint8_t* data, size_t size) {
    unsigned char* config = (unsigned char*)malloc(size > 0 ? size : 1);
    if (size > 0) {
        memcpy(config, data, size);
    }
    UsbConfigWalk walk;
    UsbWalkConfiguration(config, (int)size, &walk);
    Check(walk.walkedLength >= 0 && walk.walkedLength <= (int)size);
    Check(walk.endpointCount >= 0 && walk.endpointCount * 7 <= walk.walkedLength);
    if (walk.endpointCount > 0) {
        Check(walk.firstEndpointOffset >= 0 && walk.firstEndpointOffset + 7 <= walk.walkedLength);
    }
    for (unsigned int selector : kSelectors) {
        int maxPacketSize = -1;
        int pipe = UsbFindPipe(config, &walk, selector, &maxPacketSize);
        Check(pipe >= -1 && pipe < walk.endpointCount);
        Check(pipe == -1 ? maxPacketSize == -1 : maxPacketSize >= 0 && maxPacketSize <= 0xFFFF);
        Check(UsbFindPipe(config, &walk, selector, nullptr) == pipe);
    }
    // The drivers' walk finds exactly the endpoints the device manager counted.
    for (int pipe = 0; pipe <= walk.endpointCount; pipe++) {
        UsbPipeEndpoint endpoint;
        Check(UsbFindPipeEndpoint(config, (int)size, pipe, &endpoint) ==
              (pipe < walk.endpointCount));
    }
    free(config);
}

void WalkThroughDeviceManager(const uint8_t* data, size_t size) {
    // The manager keeps at most its buffer's worth of the configuration; the walk over
    // those bytes says which pipe each selector must open.
    size_t kept = size < USB_CONFIG_DESCRIPTOR_SIZE ? size : USB_CONFIG_DESCRIPTOR_SIZE;
    unsigned char* expected = (unsigned char*)malloc(kept > 0 ? kept : 1);
    if (kept > 0) {
        memcpy(expected, data, kept);
    }
    UsbConfigWalk walk;
    UsbWalkConfiguration(expected, (int)kept, &walk);

    UsbSimReset();
    UsbSimDevice device;
    UsbSimDeviceDefaults(&device, "\\\\?\\usb#fuzz", DEFAULT_VENDOR_ID, USB_VERUP_PRODUCT_ID);
    // A pipe file for every endpoint the driver could number, so that no open has to be
    // retried (the manager waits between attempts at a pipe that is not there yet).
    device.endpointCount = USB_SIM_MAX_ENDPOINTS;
    for (int i = 0; i < USB_SIM_MAX_ENDPOINTS; i++) {
        device.endpoints[i] = UsbSimEndpoint{(unsigned char)(i + 1), 2, 64};
    }
    size_t length = size < USB_SIM_CONFIG_SIZE ? size : USB_SIM_CONFIG_SIZE;
    memset(device.config, 0, sizeof device.config);
    memcpy(device.config, data, length);
    device.configLength = (int)length;
    Check(UsbSimAddDevice(&device) == 0);

    init_cusbbulk();
    int number = UsbOpenDevice(USB_VERUP_PRODUCT_ID);
    Check(number != USB_NO_DEVICE);
    for (unsigned int selector : kSelectors) {
        int wantedSize = -1;
        int wanted = UsbFindPipe(expected, &walk, selector, &wantedSize);
        if (wanted >= USB_SIM_MAX_ENDPOINTS) {
            continue;
        }
        int maxPacketSize = -1;
        UsbHandle pipe = UsbOpenPipe(number, selector, &maxPacketSize);
        Check((pipe != USB_HANDLE_NONE) == (wanted >= 0));
        Check(maxPacketSize == wantedSize);
        if (pipe != USB_HANDLE_NONE) {
            char path[USB_SIM_PATH_SIZE + 16];
            UsbSimLastPipePath(path, sizeof path);
            char name[16];
            snprintf(name, sizeof name, "dpipe%02d", wanted);
            size_t pathLength = strlen(path);
            Check(pathLength >= strlen(name) &&
                  strcmp(path + pathLength - strlen(name), name) == 0);
            UsbDriverClose(pipe);
        }
    }
    UsbCloseDevice(number);
    free_cusbbulk();
    Check(UsbSimOpenHandleCount() == 0);
    Check(UsbSimBadHandleUses() == 0);
    free(expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WalkDirectly(data, size);
    WalkThroughDeviceManager(data, size);
    return 0;
}
