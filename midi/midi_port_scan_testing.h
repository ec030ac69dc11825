// Fault injection for the port detection's blocks: a test hands it memory calls that
// fail at a chosen allocation or lock. The product keeps the system's calls.
#pragma once

#include "midi/midi_memory_win32.h"

#include <cstddef>

// Null puts the system's GlobalAlloc, GlobalLock, GlobalUnlock and GlobalFree back.
void MidiPortScanSetMemoryFunctions(const MidiMemoryFunctions* functions);

// Where the input slots (one per input device, read by the input callback) come from,
// zero-filled, and go back to; null puts the process heap back. A test sees when they
// go back.
struct MidiScanSlotFunctions {
    void* (*alloc)(size_t bytes);
    void (*release)(void* slots);
};
void MidiPortScanSetSlotFunctions(const MidiScanSlotFunctions* functions);
