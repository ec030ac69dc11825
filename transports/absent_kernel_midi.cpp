// The kernel USB-MIDI driver transport, absent (KERNEL_MIDI absent).
#include "platform/text.h"
#include "transports/absent_transport.h"
#include "transports/kernel_midi.h"

int KernelMidiOpen(char* errorText) {
    TextFormat(errorText, PATH_SIZE, ABSENT_TRANSPORT_TEXT, "The kernel USB-MIDI driver");
    return 0;
}

void KernelMidiClose(void) {}

int KernelMidiSend(const unsigned char*, int, int) {
    return 0;
}

int KernelMidiWriteRaw(const unsigned char*, int) {
    return 0;
}

int KernelMidiReceive(unsigned char*, int) {
    return 0;
}

void KernelMidiAbortReceive(void) {}
