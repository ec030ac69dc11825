// The MIDI receive ring against a fake MIDI service that keeps the queued buffers in
// order and fills them, from its own thread where the case needs one.
#include "midi/midi_ring_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct FakeService {
    std::mutex lock;
    std::deque<int> queued;
    unsigned char buffers[MIDI_RX_BUFFER_COUNT][MIDI_RX_BUFFER_SIZE];
    int refusals; // requeues still to refuse
};

FakeService g_service;
MidiRing g_ring;

int FakeRequeue(int slot) {
    std::lock_guard<std::mutex> guard(g_service.lock);
    if (g_service.refusals > 0) {
        g_service.refusals--;
        return 0;
    }
    g_service.queued.push_back(slot);
    return 1;
}

// Fills the next queued buffer and hands it back, as the service does; 0 when it has no
// buffer left and the message is lost.
int Deliver(const unsigned char* bytes, int length) {
    int slot;
    {
        std::lock_guard<std::mutex> guard(g_service.lock);
        if (g_service.queued.empty()) {
            return 0;
        }
        slot = g_service.queued.front();
        g_service.queued.pop_front();
    }
    memcpy(g_service.buffers[slot], bytes, (size_t)length);
    MidiRingBufferReturned(&g_ring);
    return 1;
}

int DeliverNumbered(int number) {
    unsigned char message[4] = {0xF0, (unsigned char)(number & 0x7F),
                                (unsigned char)((number >> 7) & 0x7F), 0xF7};
    return Deliver(message, sizeof message);
}

int QueuedAtService() {
    std::lock_guard<std::mutex> guard(g_service.lock);
    return (int)g_service.queued.size();
}

long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - since)
        .count();
}

// Every buffer queued at the service again and the ring started on them, as an open does.
void StartRing() {
    g_service.queued.clear();
    g_service.refusals = 0;
    memset(g_service.buffers, 0, sizeof g_service.buffers);
    unsigned char* buffers[MIDI_RX_BUFFER_COUNT];
    for (int i = 0; i < MIDI_RX_BUFFER_COUNT; i++) {
        g_service.queued.push_back(i);
        buffers[i] = g_service.buffers[i];
    }
    MidiRingStart(&g_ring, buffers, FakeRequeue);
}

class MidiRingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StartRing();
    }
    void TearDown() override {
        MidiRingStop(&g_ring);
    }
};

TEST_F(MidiRingTest, FullRingIsDeliveredInOrderAndEachMessageOnce) {
    // Fourteen messages before any receive: the service fills its twelve buffers and
    // loses the last two for want of a buffer.
    int accepted = 0;
    for (int n = 0; n < 14; n++) {
        accepted += DeliverNumbered(n);
    }
    EXPECT_EQ(12, accepted);
    EXPECT_EQ(12, MidiRingWaiting(&g_ring));

    unsigned char reply[16];
    for (int n = 0; n < 12; n++) {
        ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 0)) << n;
        EXPECT_EQ(n, reply[1]);
    }
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
    EXPECT_EQ(12, QueuedAtService());

    ASSERT_EQ(1, DeliverNumbered(40));
    ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
    EXPECT_EQ(40, reply[1]);
}

TEST_F(MidiRingTest, RefusedRequeueIsMadeUpByTheNextReceive) {
    unsigned char reply[16];
    g_service.refusals = 1;
    ASSERT_EQ(1, DeliverNumbered(1));
    ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
    EXPECT_EQ(1, reply[1]);
    EXPECT_EQ(11, QueuedAtService());

    ASSERT_EQ(1, DeliverNumbered(2));
    ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
    EXPECT_EQ(2, reply[1]);
    EXPECT_EQ(12, QueuedAtService());
}

TEST_F(MidiRingTest, MessagesFromTheServiceThreadArriveWholeInOrder) {
    const int total = 3000;
    std::thread service([] {
        unsigned char message[MIDI_RX_BUFFER_SIZE];
        for (int n = 0; n < total;) {
            message[0] = 0xF0;
            memset(message + 1, n & 0x7F, sizeof message - 2);
            message[1] = (unsigned char)(n >> 7);
            message[sizeof message - 1] = 0xF7;
            if (Deliver(message, sizeof message)) {
                n++;
            } else {
                std::this_thread::yield();
            }
        }
    });
    unsigned char reply[MIDI_RX_BUFFER_SIZE];
    for (int n = 0; n < total; n++) {
        ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 500)) << n;
        ASSERT_EQ(n >> 7, reply[1]);
        for (int i = 2; i < MIDI_RX_BUFFER_SIZE - 1; i++) {
            ASSERT_EQ(n & 0x7F, reply[i]) << n << " at " << i;
        }
    }
    service.join();
}

TEST_F(MidiRingTest, AbortEndsTheWaitAndEveryLaterReceiveUntilTheRingStartsAgain) {
    unsigned char reply[16];
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        MidiRingAbort(&g_ring);
    });
    EXPECT_EQ(-2, MidiRingReceive(&g_ring, reply, sizeof reply, 5000));
    stopper.join();
    EXPECT_LT(ElapsedMs(start), 1000);

    // A stop is never lost between two receives, not even to a message waiting.
    ASSERT_EQ(1, DeliverNumbered(1));
    EXPECT_EQ(-2, MidiRingReceive(&g_ring, reply, sizeof reply, 5000));
    MidiRingAbort(&g_ring);
    EXPECT_EQ(-2, MidiRingReceive(&g_ring, reply, sizeof reply, 0));

    StartRing();
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 2));
}

TEST_F(MidiRingTest, NothingWaitingWithZeroTimeoutReturnsAtOnce) {
    unsigned char reply[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
    EXPECT_LT(ElapsedMs(start), 10);

    // A stopped ring has no buffers to look at, whatever the service still reports.
    DeliverNumbered(1);
    MidiRingStop(&g_ring);
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 0));
}

TEST_F(MidiRingTest, SkippedBufferKeepsTheTicksAlreadySpent) {
    // The continuation comes at 150 ms and the message at 300 ms; a 20-tick wait that
    // went on counting from 0 after the skip would still be waiting for the message.
    std::thread service([] {
        const unsigned char continuation[3] = {0x12, 0x34, 0xF7};
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        Deliver(continuation, sizeof continuation);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        DeliverNumbered(7);
    });
    unsigned char reply[16];
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 20));
    ASSERT_EQ(1, MidiRingReceive(&g_ring, reply, sizeof reply, 100));
    EXPECT_EQ(7, reply[1]);
    service.join();
}

TEST_F(MidiRingTest, WakesThatBringNoMessageDoNotShortenTheTimeOut) {
    // Every returned buffer wakes the receive; continuations and empty buffers must not
    // count as ticks of their own, nor end the wait before its whole time-out.
    std::atomic<bool> done{false};
    std::thread service([&done] {
        const unsigned char continuation[3] = {0x12, 0x34, 0xF7};
        while (!done.load()) {
            Deliver(continuation, sizeof continuation);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    unsigned char reply[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 10));
    EXPECT_GE(ElapsedMs(start), 100);
    done.store(true);
    service.join();

    // Nothing at all: the time-out is the whole of timeoutTicks times 10 ms.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, MidiRingReceive(&g_ring, reply, sizeof reply, 5));
    EXPECT_GE(ElapsedMs(start), 50);
}

} // namespace
