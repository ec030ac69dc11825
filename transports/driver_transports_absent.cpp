// The USB bulk and kernel USB-MIDI driver transports talk to the maker's own drivers,
// whose access layers are not part of this build yet. Until they are, opening either
// fails with the text it gives on a machine where the driver finds no device, and every
// other operation is a harmless no-op.
#include "platform/text.h"
#include "transports/kernel_midi.h"
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

int KernelMidiOpen(char* errorText) {
    TextCopy(errorText, PATH_SIZE, " Kernel MIDI driver open error.\n");
    return 0;
}

void KernelMidiClose(void) {
}

int KernelMidiSend(const unsigned char*, int, int) {
    return 0;
}

int KernelMidiWriteRaw(const unsigned char*, int) {
    return 0;
}

int KernelMidiReceive(unsigned char*, int) {
    return 0;
}
