// What only the Linux MIDI transport offers beside midi/midi_transport.h: the reason its
// port failed, which the transport's results cannot carry. A receive there ends with 0
// (failed) at once when the port fails, where the Windows service never fails a receive.
#pragma once

// Why the last read or write on the open ports failed: the system's error number (ENODEV
// once the instrument was unplugged); 0 while none has failed since MidiOpen. After a
// failed MidiOpen, why it failed (EBUSY, EACCES; ENODEV for a port that is not there).
int MidiPortError(void);
