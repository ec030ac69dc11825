// The operating-system half of the MIDI transport on Linux: the system's raw MIDI ports,
// each a plain MIDI byte stream in and out. midi_transport_posix.cpp is written against
// these few functions; midi_rawmidi_alsa.cpp implements them with alsa-lib, and the
// tests put a pipe pair with the virtual instrument at its far end in their place.
#pragma once

#include <cstdint>

// An open port is a handle value; RAWMIDI_NO_HANDLE marks "none".
typedef intptr_t RawMidiHandle;
#define RAWMIDI_NO_HANDLE ((RawMidiHandle)0)

// The directions a port is opened for, or-ed together.
#define RAWMIDI_INPUT 1
#define RAWMIDI_OUTPUT 2

#define RAWMIDI_ID_SIZE 32
#define RAWMIDI_NAME_SIZE 80

// One port of the listing: a subdevice of a raw MIDI device of a sound card. A subdevice
// whose two directions carry names of their own is listed twice, once each way, with the
// same id.
struct RawMidiPortInfo {
    int card;
    int device;
    int subdevice;
    int canInput;                 // 1 when the port receives (the instrument's replies)
    int canOutput;                // 1 when the port sends
    char id[RAWMIDI_ID_SIZE];     // "hw:C,D,S", which RawMidiOpen takes
    char name[RAWMIDI_NAME_SIZE]; // the subdevice's name, or the device's when it has none
};

// Lists the ports of every sound card, card by card, device by device, subdevice by
// subdevice. Fills at most capacity entries (ports may be null when capacity is 0) and
// returns how many ports exist: 0 when there is no sound card at all.
int RawMidiListPorts(RawMidiPortInfo* ports, int capacity);

// Opens the port `device` ("hw:C,D" for any free subdevice, or "hw:C,D,S") for the
// directions given; both directions of one port come from a single open. Returns 1 with
// *handle set, or 0 with *error set to the system's error number (errno values).
int RawMidiOpen(const char* device, int directions, RawMidiHandle* handle, int* error);

// Waits at most timeoutMs (0: only looks) for bytes on a port open for input and reads
// up to capacity of them. Returns the number read, 0 when none came in time, or the
// system's error number negated when the read failed (-ENODEV: the device is gone; -EBADF:
// not open for input).
int RawMidiRead(RawMidiHandle handle, unsigned char* bytes, int capacity, int timeoutMs);

// Writes all length bytes to a port open for output, waiting while the port's buffer is
// full, for RAWMIDI_WRITE_TIMEOUT_MS at most. 1 when every byte was handed over, 0 when
// the time ran out first, the system's error number negated when a write failed (as for
// RawMidiRead).
#define RAWMIDI_WRITE_TIMEOUT_MS 10000
int RawMidiWrite(RawMidiHandle handle, const unsigned char* bytes, int length);

// Closes the port; harmless for RAWMIDI_NO_HANDLE. Bytes still on their way out are sent
// first.
void RawMidiClose(RawMidiHandle handle);
