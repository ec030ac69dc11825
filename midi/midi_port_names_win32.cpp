// The MIDI ports of the Windows multimedia MIDI service.
#include "midi/midi_port_names.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstring>

namespace {

// A driver need not terminate szPname: all 32 bytes may be the name, and the copy stops at
// the array's end.
void CopyName(const char (&szPname)[MAXPNAMELEN], MidiPortInfo* info) {
    static_assert(MIDI_PORT_NAME_SIZE == MAXPNAMELEN + 1, "a name and its terminator");
    memcpy(info->name, szPname, MAXPNAMELEN);
    info->name[MAXPNAMELEN] = '\0';
}

template <typename Caps> void Describe(const Caps& caps, MidiPortInfo* info) {
    CopyName(caps.szPname, info);
    info->manufacturer = caps.wMid;
    info->product = caps.wPid;
    info->driverVersion = (uint32_t)caps.vDriverVersion;
}

} // namespace

unsigned MidiPortCount(int direction) {
    return direction == MIDI_PORT_OUTPUT ? midiOutGetNumDevs() : midiInGetNumDevs();
}

int MidiPortRead(int direction, unsigned device, int kinds, MidiPortInfo* info) {
    *info = MidiPortInfo();
    if (direction == MIDI_PORT_OUTPUT) {
        MIDIOUTCAPSA caps;
        memset(&caps, 0, sizeof caps);
        if (midiOutGetDevCapsA(device, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            return 0;
        }
        Describe(caps, info);
        if (kinds == MIDI_PORTS_OPENABLE && caps.wTechnology != MOD_MIDIPORT) {
            *info = MidiPortInfo();
            return 0;
        }
        return 1;
    }
    MIDIINCAPSA caps;
    memset(&caps, 0, sizeof caps);
    if (midiInGetDevCapsA(device, &caps, sizeof caps) != MMSYSERR_NOERROR) {
        return 0;
    }
    Describe(caps, info);
    return 1;
}

int MidiPortFind(int direction, const char* name, MidiPortInfo* info) {
    const unsigned count = MidiPortCount(direction);
    for (unsigned device = 0; device < count; device++) {
        if (MidiPortRead(direction, device, MIDI_PORTS_OPENABLE, info) &&
            lstrcmpA(info->name, name) == 0) {
            return (int)device;
        }
    }
    return -1;
}
