#include "tests/doubles/unused_transports.h"
#include "transports/kernel_midi.h"

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
