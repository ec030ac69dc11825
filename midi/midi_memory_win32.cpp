// Locked blocks for the MIDI service, shared by the transport and the port detection.
#include "midi/midi_memory_win32.h"

#include "platform/text.h"

#define MIDI_MEMORY_FLAGS (GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE) // 0x2042

int MidiBlockAlloc(const MidiMemoryFunctions* memory, MidiBlock* block, SIZE_T size,
                   const char* allocText, const char* lockText, char* errorText,
                   size_t errorTextSize) {
    block->handle = memory->alloc(MIDI_MEMORY_FLAGS, size);
    if (block->handle == NULL) {
        TextCopy(errorText, errorTextSize, allocText);
        return 0;
    }
    block->address = memory->lock(block->handle);
    if (block->address == NULL) {
        TextCopy(errorText, errorTextSize, lockText);
        return 0;
    }
    return 1;
}

void MidiBlockRelease(const MidiMemoryFunctions* memory, MidiBlock* block) {
    if (block->address != NULL) {
        memory->unlock(block->handle);
        block->address = NULL;
    }
    if (block->handle != NULL) {
        memory->release(block->handle);
        block->handle = NULL;
    }
}
