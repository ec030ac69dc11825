// The USB bulk pipe transport, absent (USB_BULK absent).
#include "platform/text.h"
#include "transports/absent_transport.h"
#include "transports/usb_bulk.h"

int UsbBulkOpen(char* errorText) {
    TextFormat(errorText, PATH_SIZE, ABSENT_TRANSPORT_TEXT, "USB bulk");
    return 0;
}

void UsbBulkClose(void) {}

int UsbBulkSend(const unsigned char*, int) {
    return 0;
}

int UsbBulkReceive(unsigned char*) {
    return 0;
}

void UsbBulkAbort(void) {}
