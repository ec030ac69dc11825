// The MIDI receive ring driven by a script of service and receiver steps: buffers filled
// with any bytes and handed back, receives of any capacity that never wait, a requeue
// that refuses when the script says so, aborts and restarts. The model beside it counts
// what the service holds, so that the service never returns a buffer it does not have.
#include "midi/midi_ring_testing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Each buffer on its own exactly sized heap block, so a read past one is caught.
unsigned char* s_buffers[MIDI_RX_BUFFER_COUNT];
unsigned char* s_bufferList[MIDI_RX_BUFFER_COUNT];
MidiRing s_ring;

// The service's queue: slots in the order they were queued, the oldest first.
int s_queue[MIDI_RX_BUFFER_COUNT];
int s_queued = 0;
// Slots handed back to the ring and not yet given back to the service, in order.
int s_returned[MIDI_RX_BUFFER_COUNT];
int s_returnedCount = 0;
int s_refuseRequeue = 0;

int Requeue(int slot) {
    if (slot < 0 || slot >= MIDI_RX_BUFFER_COUNT) {
        abort();
    }
    if (s_refuseRequeue) {
        return 0;
    }
    // The ring gives back in the order the service handed them back.
    if (s_returnedCount == 0 || s_returned[0] != slot || s_queued >= MIDI_RX_BUFFER_COUNT) {
        abort();
    }
    memmove(s_returned, s_returned + 1, sizeof(int) * (size_t)(s_returnedCount - 1));
    s_returnedCount--;
    s_queue[s_queued++] = slot;
    return 1;
}

void Start() {
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        if (s_buffers[i] == nullptr) {
            s_buffers[i] = (unsigned char*)malloc(MIDI_RX_BUFFER_SIZE);
        }
        s_bufferList[i] = s_buffers[i];
        s_queue[i] = i;
    }
    s_queued = MIDI_RX_BUFFER_COUNT;
    s_returnedCount = 0;
    MidiRingStart(&s_ring, s_bufferList, Requeue);
}

} // namespace

// Each step is one byte of operation, some followed by arguments:
//   0 fill: the service writes the next bytes into the buffer at the head of its queue
//   1 hand back the head of the service's queue
//   2 receive with capacity from the next byte (scaled to -8 .. 503), time-out 0
//   3 toggle the requeue refusal
//   4 abort, 5 start again
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    s_refuseRequeue = 0;
    Start();
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        memset(s_buffers[i], 0, MIDI_RX_BUFFER_SIZE);
    }
    size_t pos = 0;
    int aborted = 0;
    while (pos < size) {
        uint8_t op = data[pos++] % 6;
        switch (op) {
        case 0: {
            if (pos >= size) {
                break;
            }
            size_t length = data[pos++];
            if (length > size - pos) {
                length = size - pos;
            }
            if (s_queued > 0) {
                memcpy(s_buffers[s_queue[0]], data + pos, length);
            }
            pos += length;
            break;
        }
        case 1:
            if (s_queued > 0) {
                s_returned[s_returnedCount++] = s_queue[0];
                memmove(s_queue, s_queue + 1, sizeof(int) * (size_t)(s_queued - 1));
                s_queued--;
                MidiRingBufferReturned(&s_ring);
            }
            break;
        case 2: {
            int capacity = pos < size ? (int)data[pos++] * 2 - 8 : 256;
            // Exactly capacity bytes, so a copy longer than asked for is caught.
            size_t allocated = capacity > 0 ? (size_t)capacity : 1;
            unsigned char* buffer = (unsigned char*)malloc(allocated);
            memset(buffer, 0xA5, allocated);
            int waitingBefore = MidiRingWaiting(&s_ring);
            int result = MidiRingReceive(&s_ring, buffer, capacity, 0);
            if (result == 1) {
                if (waitingBefore == 0 || aborted) {
                    abort();
                }
                if (capacity > 0 && buffer[0] != 0xF0) {
                    abort();
                }
                // Nothing beyond the 256 bytes of one buffer is written.
                for (int i = MIDI_RX_BUFFER_SIZE; i < capacity; i++) {
                    if (buffer[i] != 0xA5) {
                        abort();
                    }
                }
            } else if (result == -2) {
                if (!aborted) {
                    abort();
                }
            } else if (result != -1 || aborted) {
                abort();
            }
            free(buffer);
            break;
        }
        case 3:
            s_refuseRequeue = !s_refuseRequeue;
            break;
        case 4:
            MidiRingAbort(&s_ring);
            aborted = 1;
            break;
        case 5:
            MidiRingStop(&s_ring);
            Start();
            aborted = 0;
            break;
        }
        int waiting = MidiRingWaiting(&s_ring);
        if (waiting < 0 || waiting > MIDI_RX_BUFFER_COUNT || s_ring.readIndex < 0 ||
            s_ring.readIndex >= MIDI_RING_SPAN || s_ring.requeueIndex < 0 ||
            s_ring.requeueIndex >= MIDI_RING_SPAN) {
            abort();
        }
        int written = s_ring.writeIndex.load();
        if (written < 0 || written >= MIDI_RING_SPAN) {
            abort();
        }
        // Every buffer is at the service or with the ring, never lost.
        if (s_queued + s_returnedCount != MIDI_RX_BUFFER_COUNT) {
            abort();
        }
    }
    MidiRingStop(&s_ring);
    return 0;
}
