// What tests and the fuzz target check of the receive ring beyond its operations.
#pragma once

#include "midi/midi_ring.h"

// Returned buffers not yet examined (0 to 12).
int MidiRingWaiting(const MidiRing* ring);

// The clock a receive counts its ticks by, microseconds; null puts PlatformMonotonicUs
// back. A test makes it jump, as it does across a machine's sleep.
typedef uint64_t (*MidiRingClock)(void);
void MidiRingSetClock(MidiRingClock clock);
