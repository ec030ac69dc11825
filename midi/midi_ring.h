// The receive side of the MIDI transport: twelve input buffers that the MIDI service
// fills and hands back strictly in the order they were queued, and the receiver that
// examines them in that order and gives each one back once examined.
//
// The indices run modulo twice the number of buffers, so that twelve returned but
// unexamined buffers (a full ring) read differently from none (an empty ring): with
// indices modulo twelve a full ring looks empty, its messages are never examined and
// never given back, and the port falls silent for good.
#pragma once

#include "midi/midi_transport.h"
#include "platform/platform_thread.h"

#include <atomic>
#include <cstdint>

#define MIDI_RING_SPAN (2 * MIDI_RX_BUFFER_COUNT)

// Gives input buffer `slot` back to the service; 1 when the service has it again.
typedef int (*MidiRequeueProc)(int slot);

struct MidiRing {
    unsigned char* buffers[MIDI_RX_BUFFER_COUNT]; // MIDI_RX_BUFFER_SIZE bytes each
    MidiRequeueProc requeue;                      // null while the ring is stopped
    std::atomic<int> writeIndex;                  // buffers returned; the callback's only
    int readIndex;                                // buffers examined
    int requeueIndex;                             // buffers given back after examination
    std::atomic<int32_t> tickCounter;             // 10 ms of the current receive gone by
    std::atomic<int> aborted;                     // set by MidiRingAbort until the next start
    // Signalled by each returned buffer and by an abort, so that a waiting receive wakes
    // at once instead of at its next 10 ms mark. Made by the first start, kept for the
    // life of the process (a late callback may still signal it).
    PlatformEvent wake;
    std::atomic<int> wakeMade;
};

// All twelve buffers are queued at the service, buffer 0 first. Clears an abort.
void MidiRingStart(MidiRing* ring, unsigned char* const* buffers, MidiRequeueProc requeue);

// The buffers are about to be released: nothing is examined or given back any more.
void MidiRingStop(MidiRing* ring);

// Called from the service's thread each time it hands a filled buffer back.
void MidiRingBufferReturned(MidiRing* ring);

// 1 with the next message (the first min(capacity, 256) bytes of a buffer that starts
// with 0xF0) in buffer; -1 once timeoutTicks times 10 ms have gone by with none; -2 when
// aborted. The receive sleeps until a buffer comes back, an abort or its next 10 ms mark.
int MidiRingReceive(MidiRing* ring, unsigned char* buffer, int capacity, int timeoutTicks);

// Ends a waiting MidiRingReceive with -2 at once, and makes every later
// one return -2 at once until MidiRingStart: a user's stop that lands between two
// receives would otherwise be lost and the next receive wait its whole time-out.
void MidiRingAbort(MidiRing* ring);
