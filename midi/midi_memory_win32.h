// The memory calls of the MIDI transport, replaceable so that a test can make any one
// allocation or lock fail and see that every block obtained before it is given back.
#pragma once

#include <windows.h>

struct MidiMemoryFunctions {
    HGLOBAL(WINAPI* alloc)(UINT flags, SIZE_T bytes);
    LPVOID(WINAPI* lock)(HGLOBAL block);
    BOOL(WINAPI* unlock)(HGLOBAL block);
    HGLOBAL(WINAPI* release)(HGLOBAL block);
};

// Null puts the system's GlobalAlloc, GlobalLock, GlobalUnlock and GlobalFree back.
void MidiSetMemoryFunctions(const MidiMemoryFunctions* functions);
