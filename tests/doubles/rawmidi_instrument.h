// Stand-in raw MIDI ports (RAW_MIDI simulated): the functions of midi/midi_rawmidi.h over
// a pipe pair that carries the MIDI byte stream, with the virtual instrument at the far
// end on a thread of its own. Every listed port leads to that one instrument. The bytes
// the updater writes are fed to the instrument as a stream; its replies come back when
// their delay is up, and can be delivered in small reads and mixed with other MIDI bytes,
// as a busy cable would carry them. The listing, the opens and their failures are the
// test's to set.
#pragma once

#include "midi/midi_rawmidi.h"

#define RAWMIDI_SIM_PORTS 8
#define RAWMIDI_SIM_NOISE 32
#define RAWMIDI_SIM_OPENS 16

struct RawMidiInstrumentConfig {
    RawMidiPortInfo ports[RAWMIDI_SIM_PORTS]; // what RawMidiListPorts lists
    int portCount;
    int failOpenAt; // this open (counted from 0 since the reset) fails; -1: none does
    int openError;  // ... with this error number
    int readSize;   // a read delivers at most this many bytes; 0: as many as asked for
    // Written before each reply of the instrument: junk, channel messages, anything.
    unsigned char noise[RAWMIDI_SIM_NOISE];
    int noiseLength;
    int realTimeEvery; // n > 0: a timing clock byte (0xF8) after every n bytes of a reply
};

// Defaults: "hw:1,0,0" named "ORVENT 1" both ways; "hw:1,0,1" named "ORVENT 1 KEYBOARD"
// input only; "hw:1,1,0" listed as "ORVENT 2 KEYBOARD" in and "ORVENT 2 SOUND" out. No
// failures, whole reads, no other bytes.
void RawMidiInstrumentDefaultConfig(RawMidiInstrumentConfig* config);

// Takes a configuration and forgets the opens recorded. No port may be open. The
// instrument is reset separately (VirtualInstrumentReset).
void RawMidiInstrumentReset(const RawMidiInstrumentConfig* config);

// Puts bytes into the stream towards the updater at once, behind what is there. 1 when a
// port is open to carry them.
int RawMidiInstrumentInject(const unsigned char* bytes, int length);

// The opens since the reset, failed ones included: how many, and each one's device name
// and directions.
int RawMidiInstrumentOpenCount(void);
int RawMidiInstrumentOpenDirections(int index);
const char* RawMidiInstrumentOpenDevice(int index);

// Handles open now.
int RawMidiInstrumentOpenHandles(void);

// Pulls the instrument's cable: every read and write on the ports open now fails with
// ENODEV, as the system's do once the device is gone, until they are closed.
void RawMidiInstrumentUnplug(void);
