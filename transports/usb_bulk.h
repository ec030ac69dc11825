// The USB bulk pipe transport of the update device.
#pragma once

// Every read is one transfer of at most this many bytes.
#define USB_BULK_READ_SIZE 16

// The device manager behind the transport, made with the main window and freed with it.
void init_cusbbulk(void);
void free_cusbbulk(void);

// Opens the update device's bulk pipes. 1 on success; 0 with a text in errorText
// (PATH_SIZE bytes).
int UsbBulkOpen(char* errorText);
void UsbBulkClose(void);

// 1 when the write call succeeded, 0 otherwise.
int UsbBulkSend(const unsigned char* data, int length);

// One read of at most USB_BULK_READ_SIZE bytes into buffer: 1 or 0, never a time-out.
int UsbBulkReceive(unsigned char* buffer);

// Ends a read that waits in another thread; it then returns 0.
void UsbBulkAbort(void);
