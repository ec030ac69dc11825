// What tests and the fuzz target check of the receive ring beyond its operations.
#pragma once

#include "midi/midi_ring.h"

// Returned buffers not yet examined (0 to 12).
int MidiRingWaiting(const MidiRing* ring);
