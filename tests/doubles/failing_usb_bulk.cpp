// The USB bulk transport's send, receive and abort, failing (USB_BULK failing): the
// transport dispatch names every transport's operations, so an executable that runs the
// engine over other transports links these. The engine never reaches them when DeviceType
// is set right.
#include "transports/usb_bulk.h"

int UsbBulkSend(const unsigned char*, int) {
    return 0;
}

int UsbBulkReceive(unsigned char*) {
    return 0;
}

void UsbBulkAbort(void) {}
