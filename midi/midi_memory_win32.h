// The memory calls of the MIDI transport and the port detection, replaceable so that a
// test can make any one allocation or lock fail and see that every block obtained before
// it is given back (midi_transport_testing.h, midi_port_scan_testing.h).
#pragma once

#include <windows.h>

struct MidiMemoryFunctions {
    HGLOBAL(WINAPI* alloc)(UINT flags, SIZE_T bytes);
    LPVOID(WINAPI* lock)(HGLOBAL block);
    BOOL(WINAPI* unlock)(HGLOBAL block);
    HGLOBAL(WINAPI* release)(HGLOBAL block);
};

// A zero-filled block locked at a fixed address for as long as it exists: the service
// writes into the input buffers and reads the output buffers while a port has them.
struct MidiBlock {
    HGLOBAL handle;
    void* address;
};

// Allocates and locks one block through the given memory calls. A failed allocation
// writes allocText, a failed lock lockText, into errorText (errorTextSize bytes) and
// returns 0; what was obtained stays in the block for MidiBlockRelease to give back.
int MidiBlockAlloc(const MidiMemoryFunctions* memory, MidiBlock* block, SIZE_T size,
                   const char* allocText, const char* lockText, char* errorText,
                   size_t errorTextSize);

// Unlocks and frees whatever part of the block was obtained; a released or never
// allocated block is left as it is.
void MidiBlockRelease(const MidiMemoryFunctions* memory, MidiBlock* block);
