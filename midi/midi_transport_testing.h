// Fault injection for the MIDI transport's blocks: a test hands it memory calls that fail
// at a chosen allocation or lock. The product keeps the system's calls.
#pragma once

#include "midi/midi_memory_win32.h"

// Null puts the system's GlobalAlloc, GlobalLock, GlobalUnlock and GlobalFree back.
void MidiSetMemoryFunctions(const MidiMemoryFunctions* functions);
