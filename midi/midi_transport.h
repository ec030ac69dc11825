// The MIDI transport: one output and one input port of the system's MIDI service.
#pragma once

#include "transports/sysex.h"

#define MIDI_TX_BUFFER_SIZE SYSEX_MESSAGE_SIZE_MAX
#define MIDI_RX_BUFFER_COUNT 12
#define MIDI_RX_BUFFER_SIZE 256
#define MIDI_ABORT_TICKS 20000

int MidiOpen(const char* outputPortName, const char* inputPortName, char* errorText,
             int onlyMavoDriver);
void MidiClose(void);

// 1 when the service accepted the message, 0 otherwise.
int MidiSend(const unsigned char* bytes, int length);

// 1 with a message in buffer, -1 once timeoutTicks times 10 ms have gone by without
// one, -2 when aborted.
int MidiReceive(unsigned char* buffer, int capacity, int timeoutTicks);

// Ends a waiting MidiReceive with -2 at once; every MidiReceive after it
// returns -2 at once until the next MidiOpen.
void MidiAbortReceive(void);

// The text of a result code of the MIDI service ("Bad Device ID", ...); textSize bytes
// at most. The open errors end with it.
void MidiErrorText(unsigned int code, char* text, int textSize);
