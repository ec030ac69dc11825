// The USB bulk transport talks to the maker's own driver, whose access layer is not part
// of this build yet. Until it is, opening fails with the text it gives on a machine where
// the driver finds no device, and every other operation is a harmless no-op.
#include "platform/text.h"
#include "transports/usb_bulk.h"

void init_cusbbulk(void) {
}

void free_cusbbulk(void) {
}

int UsbBulkOpen(char* errorText) {
    TextCopy(errorText, PATH_SIZE, "Usb Open Error!(Can't find VerUp Device)");
    return 0;
}

void UsbBulkClose(void) {
}

int UsbBulkSend(const unsigned char*, int) {
    return 0;
}

int UsbBulkReceive(unsigned char*) {
    return 0;
}

void UsbBulkAbort(void) {
}
