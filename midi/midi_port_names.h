// The MIDI ports of the system's MIDI service as the updater sees them: by device number,
// with their names and what they say of their driver. The transport finds its two ports
// here, the Config dialog lists them, and the automatic detection reads every one.
#pragma once

#include <cstdint>

// The service's 32 name bytes, which a driver need not terminate, and a terminator.
#define MIDI_PORT_NAME_SIZE 33

// What the maker's USB-MIDI driver puts into its ports' capabilities.
#define MAVO_MANUFACTURER_ID 55         // wMid
#define MAVO_DRIVER_PRODUCT_ID 5        // wPid of the ports that carry the driver's version
#define MAVO_DRIVER_VERSION_MIN 0x0108u // 1.08: major in the high byte, minor in the low one

enum { MIDI_PORT_INPUT = 0, MIDI_PORT_OUTPUT = 1 };

// Which ports a read accepts. Only hardware MIDI ports can be opened for an update: an
// output that is a synthesizer never reaches the instrument, even under the instrument's
// name. The detection sends its inquiry to every output all the same.
enum { MIDI_PORTS_OPENABLE = 0, MIDI_PORTS_ALL = 1 };

struct MidiPortInfo {
    char name[MIDI_PORT_NAME_SIZE]; // always terminated
    unsigned manufacturer;          // wMid
    unsigned product;               // wPid
    uint32_t driverVersion;         // vDriverVersion
};

// Number of ports of a direction (MIDI_PORT_INPUT or MIDI_PORT_OUTPUT).
unsigned MidiPortCount(int direction);

// Reads one port. 1 when the service describes it and it is of the kinds asked for
// (MIDI_PORTS_*); 0 otherwise, with an empty name and zero fields.
int MidiPortRead(int direction, unsigned device, int kinds, MidiPortInfo* info);

// The openable port whose name equals name exactly (case counts); the lowest device
// number wins when a driver lists one name twice. Its device number, or -1 when there is
// none (info is then unspecified).
int MidiPortFind(int direction, const char* name, MidiPortInfo* info);
