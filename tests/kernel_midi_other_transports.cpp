// The transport dispatch links every transport's send and receive; the kernel MIDI
// update tests select DeviceType 3 and never reach these.
#include "midi/midi_transport.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"

int SerialSend(const unsigned char*, int) {
    return 0;
}

int SerialReceive(unsigned char*, int) {
    return 0;
}

int MidiSend(const unsigned char*, int) {
    return 0;
}

int MidiReceive(unsigned char*, int, int) {
    return 0;
}

int UsbBulkSend(const unsigned char*, int) {
    return 0;
}

int UsbBulkReceive(unsigned char*) {
    return 0;
}
