// A simulated USB bulk driver for tests: chosen instead of the Windows driver access
// (USB_BULK_DRIVER simulated), it makes the USB bulk transport find the devices described
// here.
// Pipe files are "<device path>\dpipeNN", NN the endpoint's position. The bulk OUT pipe
// of a device marked as the instrument feeds the virtual instrument, and its bulk IN pipe
// returns the instrument's replies, at most 16 bytes per read, waiting for them until the
// abort request ends the wait with failure. Safe to use from several threads.
#pragma once

#include <cstddef>
#include <cstdint>

#define USB_SIM_MAX_DEVICES 8
#define USB_SIM_MAX_ENDPOINTS 16
#define USB_SIM_PATH_SIZE 400
#define USB_SIM_CONFIG_SIZE 1024

struct UsbSimEndpoint {
    unsigned char address;    // bit 7 set for IN
    unsigned char attributes; // 2 bulk, 3 interrupt
    uint16_t maxPacketSize;
};

struct UsbSimDevice {
    char path[USB_SIM_PATH_SIZE];
    uint16_t vendorId;
    uint16_t productId;
    // The endpoints as the driver numbers its pipe files: pipe n is endpoints[n].
    int endpointCount;
    UsbSimEndpoint endpoints[USB_SIM_MAX_ENDPOINTS];
    // The configuration descriptor the driver returns, cut to the caller's buffer. Made
    // from the endpoints by UsbSimBuildConfig, or written byte by byte by a test that
    // wants a hostile one.
    unsigned char config[USB_SIM_CONFIG_SIZE];
    int configLength;
    int openFails;             // the device path does not open
    int deviceDescriptorFails; // the device descriptor request fails
    int configRequestFails;    // the configuration request fails, returning nothing
    int pipeOpenFailures;      // this many pipe opens fail before the next one succeeds
    uint32_t connectionState;  // what the check request returns
    int instrument;            // its bulk pipes lead to the virtual instrument
};

// A connected device at path with these ids, a bulk OUT endpoint 0x01 and a bulk IN
// endpoint 0x82 (64 bytes each), its configuration built from them; not the instrument.
void UsbSimDeviceDefaults(UsbSimDevice* device, const char* path, int vendorId, int productId);

// Writes a configuration descriptor (one interface, then the endpoints) for the device's
// endpoint list.
void UsbSimBuildConfig(UsbSimDevice* device);

// No devices, every handle forgotten, counters cleared, no write fault; a read waits
// until a reply comes or the pipe is aborted.
void UsbSimReset(void);

// Adds a device behind the ones present, in the set-up service's order. Its index, or
// -1 when USB_SIM_MAX_DEVICES are present.
int UsbSimAddDevice(const UsbSimDevice* device);

// A pipe read with no reply on its way fails after this long (0: never).
void UsbSimSetReadWaitLimit(uint32_t milliseconds);

// Pipe write number writeIndex (from 0 since the reset) fails, or with shortWrite comes
// back successful with its last byte unsent.
void UsbSimSetWriteFault(int writeIndex, int shortWrite);

// What the transport did to the driver.
int UsbSimOpenHandleCount(void);  // device and pipe handles open now
int UsbSimPipeOpenAttempts(void); // pipe opens asked for since the reset
void UsbSimLastPipePath(char* out, size_t size);
int UsbSimRequestCount(uint32_t code); // driver requests of that code since the reset
int UsbSimLastCheckInput(void);        // the device number the last check request carried
int UsbSimBadHandleUses(void);         // calls on a handle that is not open
int UsbSimWaitingReads(void);          // pipe reads waiting now
uint32_t UsbSimLargestRead(void);      // the largest byte count a read asked for
