// The handful of calls through which the USB bulk transport reaches the maker's USB
// driver. usb_bulk_driver_win32.cpp makes them with the device set-up service and file
// I/O; tests/doubles/usb_bulk_driver_sim.cpp plays simulated devices for tests. Each
// executable links exactly one of them, named as USB_BULK_DRIVER in its
// orv_link_implementations call.
#pragma once

#include "transports/usb_bulk.h"

#include <cstddef>
#include <cstdint>

// Driver requests: device type 0x22, buffered, any access; input and output share one
// buffer.
#define IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR 0x220000u
#define IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR 0x22000Cu
#define IOCTL_USBBULK_ABORT_PIPE 0x220010u
#define IOCTL_USBBULK_CHECK_DEVICE 0x220014u

// Results of UsbDriverInterfacePath.
#define USB_DRIVER_PATH_END 0 // the class has no interface of that index
#define USB_DRIVER_PATH_OK 1  // path holds the interface's device path
#define USB_DRIVER_PATH_SKIP                                                                       \
    2 // the interface exists but gives no usable path (too
      // long for size, or its detail record cannot be read)

// Device path of interface `index` (from 0) among the present devices exposing the
// driver's interface class.
int UsbDriverInterfacePath(int index, char* path, size_t size);

// Opens a device path, or a pipe file below it, for reading and writing, shared for
// both, as an existing file. USB_HANDLE_NONE on failure.
UsbHandle UsbDriverOpen(const char* path);

// Sends a driver request with inSize bytes of buffer as input; up to outSize bytes of
// output come back in buffer and *returned tells how many. 1 when the request succeeded.
int UsbDriverRequest(UsbHandle device, uint32_t code, void* buffer, uint32_t inSize,
                     uint32_t outSize, uint32_t* returned);

// One synchronous read or write. 1 when the call succeeded; *done receives the count.
int UsbDriverRead(UsbHandle file, void* buffer, uint32_t count, uint32_t* done);
int UsbDriverWrite(UsbHandle file, const void* buffer, uint32_t count, uint32_t* done);

void UsbDriverClose(UsbHandle handle);
