// The MIDI transport, absent (MIDI absent).
#include "midi/midi_transport.h"
#include "platform/text.h"
#include "transports/absent_transport.h"

int MidiOpen(const char*, const char*, char* errorText, int) {
    TextFormat(errorText, PATH_SIZE, ABSENT_TRANSPORT_TEXT, "MIDI");
    return 0;
}

void MidiClose(void) {}

int MidiSend(const unsigned char*, int) {
    return 0;
}

int MidiReceive(unsigned char*, int, int) {
    return 0;
}

void MidiAbortReceive(void) {}
