#include "midi/midi_ring.h"
#include "midi/midi_ring_testing.h"

#include "platform/platform_thread.h"
#include "transports/sysex.h"

#include <cstring>

namespace {

#define MIDI_WAIT_US 10000 // one tick

MidiRingClock s_clock = PlatformMonotonicUs;

uint64_t ElapsedUs(uint64_t start) {
    const uint64_t now = s_clock();
    return now > start ? now - start : 0;
}

int RingDistance(int from, int to) {
    return (to - from + MIDI_RING_SPAN) % MIDI_RING_SPAN;
}

int RingNext(int index) {
    return (index + 1) % MIDI_RING_SPAN;
}

// Gives back every examined buffer the service does not have yet. Stopping at the first
// refusal keeps the order the service must fill them in; a later receive tries again,
// so a passing refusal does not cost a buffer for good.
void RequeueExamined(MidiRing* ring) {
    while (ring->requeueIndex != ring->readIndex) {
        if (!ring->requeue(ring->requeueIndex % MIDI_RX_BUFFER_COUNT)) {
            return;
        }
        ring->requeueIndex = RingNext(ring->requeueIndex);
    }
}

void Wake(MidiRing* ring) {
    if (ring->wakeMade.load(std::memory_order_acquire)) {
        PlatformEventSignal(&ring->wake);
    }
}

// Sleeps at most `milliseconds`, less when a buffer comes back or an abort comes.
void WaitForWake(MidiRing* ring, uint32_t milliseconds) {
    if (ring->wakeMade.load(std::memory_order_acquire)) {
        PlatformEventWait(&ring->wake, milliseconds);
    } else {
        PlatformSleep(milliseconds);
    }
}

// The ticks count the receive's elapsed time in whole 10 ms; they only grow, so an
// abort's mark stays where it was put.
void AdvanceTicks(MidiRing* ring, int32_t elapsedTicks) {
    int32_t ticks = ring->tickCounter.load();
    while (ticks < elapsedTicks && !ring->tickCounter.compare_exchange_weak(ticks, elapsedTicks)) {
    }
}

} // namespace

void MidiRingStart(MidiRing* ring, unsigned char* const* buffers, MidiRequeueProc requeue) {
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        ring->buffers[i] = buffers[i];
    }
    ring->writeIndex.store(0, std::memory_order_release);
    ring->readIndex = 0;
    ring->requeueIndex = 0;
    ring->requeue = requeue;
    ring->tickCounter.store(0);
    ring->aborted.store(0);
    if (!ring->wakeMade.load()) {
        PlatformEventInit(&ring->wake);
        ring->wakeMade.store(1, std::memory_order_release);
    }
}

void MidiRingStop(MidiRing* ring) {
    ring->requeue = nullptr;
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        ring->buffers[i] = nullptr;
    }
    ring->writeIndex.store(0, std::memory_order_release);
    ring->readIndex = 0;
    ring->requeueIndex = 0;
}

void MidiRingBufferReturned(MidiRing* ring) {
    // Release: the service has written the buffer before it calls back, and the receiver
    // must see those bytes once it sees the new index. A compare-exchange keeps the count
    // right even if a service calls back from more than one thread.
    int index = ring->writeIndex.load(std::memory_order_relaxed);
    while (!ring->writeIndex.compare_exchange_weak(
        index, RingNext(index), std::memory_order_release, std::memory_order_relaxed)) {
    }
    Wake(ring);
}

int MidiRingReceive(MidiRing* ring, unsigned char* buffer, int capacity, int timeoutTicks) {
    int copyLength = capacity < MIDI_RX_BUFFER_SIZE ? capacity : MIDI_RX_BUFFER_SIZE;
    if (copyLength < 0) {
        copyLength = 0;
    }
    // A time-out at or beyond the abort mark would make an abort look like a time-out.
    if (timeoutTicks >= MIDI_ABORT_TICKS) {
        timeoutTicks = MIDI_ABORT_TICKS - 1;
    }
    if (ring->aborted.load()) {
        return -2;
    }
    ring->tickCounter.store(0);
    // One microsecond late, so that the clock's rounding never makes a time-out early.
    const uint64_t start = s_clock() + 1;
    for (;;) {
        int written = ring->writeIndex.load(std::memory_order_acquire);
        if (ring->requeue == nullptr || written == ring->readIndex) {
            // The flag as well: an abort whose mark the store of 0 above wiped out still
            // ends this receive.
            int32_t ticks = ring->tickCounter.load();
            if (ticks >= MIDI_ABORT_TICKS || ring->aborted.load()) {
                return -2;
            }
            if (ticks >= timeoutTicks) {
                return -1;
            }
            // Until the next 10 ms mark of this receive, unless woken sooner.
            const uint64_t nextMark = (uint64_t)(ticks + 1) * MIDI_WAIT_US;
            const uint64_t elapsed = ElapsedUs(start);
            if (nextMark > elapsed) {
                WaitForWake(ring, (uint32_t)((nextMark - elapsed + 999) / 1000));
            }
            // Capped at the time-out: one wait that lasts for ages by the clock (a machine
            // that slept, a paused virtual machine) is still a time-out, never the abort mark.
            const uint64_t elapsedTicks = ElapsedUs(start) / MIDI_WAIT_US;
            AdvanceTicks(ring, elapsedTicks < (uint64_t)timeoutTicks ? (int32_t)elapsedTicks
                                                                     : timeoutTicks);
            continue;
        }
        const unsigned char* data = ring->buffers[ring->readIndex % MIDI_RX_BUFFER_COUNT];
        // A buffer that does not start a message is the continuation of a message longer
        // than one buffer, or one the service handed back empty: skip it, keep the ticks.
        int isMessage = data[0] == SYSEX_START;
        if (isMessage) {
            memcpy(buffer, data, (size_t)copyLength);
        }
        ring->readIndex = RingNext(ring->readIndex);
        RequeueExamined(ring);
        if (isMessage) {
            return 1;
        }
    }
}

void MidiRingAbort(MidiRing* ring) {
    ring->aborted.store(1);
    ring->tickCounter.store(MIDI_ABORT_TICKS);
    Wake(ring);
}

void MidiRingSetClock(MidiRingClock clock) {
    s_clock = clock != nullptr ? clock : PlatformMonotonicUs;
}

int MidiRingWaiting(const MidiRing* ring) {
    return RingDistance(ring->readIndex, ring->writeIndex.load(std::memory_order_acquire));
}
