// The USB bulk pipe transport of the update device, and the device manager behind it.
#pragma once

#include <cstdint>

// Every read is one transfer of at most this many bytes.
#define USB_BULK_READ_SIZE 16

// A device or pipe handle of the driver: a plain file handle, USB_HANDLE_NONE for none.
typedef intptr_t UsbHandle;
#define USB_HANDLE_NONE ((UsbHandle)-1)

// The device manager keeps this many open devices; a device number is a slot index.
#define USB_MAX_DEVICES 32
#define USB_NO_DEVICE (-1)

// The vendor id our update device reports.
#define DEFAULT_VENDOR_ID 0x2F3C
// The product id of the update device.
#define USB_VERUP_PRODUCT_ID 0x1001

// The device manager's configuration buffer: descriptors that claim more are cut here.
#define USB_CONFIG_DESCRIPTOR_SIZE 512

// Pipe selector bits of UsbOpenPipe.
#define USB_PIPE_IN 0x80
#define USB_PIPE_INTERRUPT 0x40
#define USB_PIPE_ORDINAL_MASK 0x3F

// The eight operations below are exported from the executable under their plain names
// (transports/usb_bulk_exports.def), with the C calling convention (cdecl), so that other
// programs can drive the maker's devices through the same table.
extern "C" {

// Marks every slot free; called once before any other operation (main window creation).
void init_cusbbulk(void);
// Closes every device still held (main window destruction).
void free_cusbbulk(void);

// UsbOpenDeviceVID with DEFAULT_VENDOR_ID.
int UsbOpenDevice(int productId);
// Device number of the first device of the driver's class with these ids (low 16 bits)
// that opens and finds a free slot, or USB_NO_DEVICE.
int UsbOpenDeviceVID(int vendorId, int productId);
// Opens the pipe file of the endpoint the selector names (bit 7 IN, bit 6 interrupt,
// bits 0-5 ordinal among those). maxPacketSize, when given, receives wMaxPacketSize.
// The caller reads, writes and closes the handle; USB_HANDLE_NONE on failure.
UsbHandle UsbOpenPipe(int device, unsigned int selector, int* maxPacketSize);
// Frees the slot; pipes opened on it stay open.
void UsbCloseDevice(int device);
// Makes a read pending on the device's pipes fail. Nonzero when the driver took it.
int UsbAbortPipe(int device);
// 1 when the slot holds a device that the driver reports connected, else 0.
int UsbCheckDevice(int device);
}

// Opens the update device's bulk pipes. 1 on success; 0 with a text in errorText
// (PATH_SIZE bytes).
int UsbBulkOpen(char* errorText);
void UsbBulkClose(void);

// 1 when the driver wrote every byte, 0 otherwise.
int UsbBulkSend(const unsigned char* data, int length);

// One read of at most USB_BULK_READ_SIZE bytes into buffer: 1, 0 on failure, -2 when
// UsbBulkAbort ended it; never a time-out.
int UsbBulkReceive(unsigned char* buffer);

// Ends a read that waits in another thread, and makes every later read end at once,
// until the pipes are opened again. The driver cancels only a read already pending: a
// caller that may have raced a starting read calls this again.
void UsbBulkAbort(void);
