// The send and receive operations of all four transports, played against the virtual
// instrument. Each receive keeps the waiting rules of its real transport (MIDI counts
// ticks and can be aborted, the serial port times out, a USB bulk read takes 16 bytes
// and only an abort ends it), so the engine meets the same results it would on a cable.
#include "tests/doubles/sim_transport.h"

#include "midi/midi_transport.h"
#include "sim/virtual_instrument.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/update_messages.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#define SIM_PENDING_SIZE 64

namespace {

typedef std::chrono::steady_clock Clock;

struct PendingPiece {
    unsigned char bytes[VI_MAX_REPLY];
    int length;
    Clock::time_point due;
};

struct SimTransport {
    std::mutex lock;
    SimTransportConfig config;
    int configured;
    PendingPiece pending[SIM_PENDING_SIZE];
    int pendingHead;
    int pendingCount;
    SimTransportCall calls[SIM_TRANSPORT_MAX_CALLS];
    int callCount;
    int sendCount;
    // The user's stop: like each real transport's, it ends the wait in progress and every
    // later one until the next reset (the real ones: until the next open).
    std::atomic<int> receiveAborted;
};

SimTransport g_simTransport;

void EnsureConfiguredLocked(void) {
    if (!g_simTransport.configured) {
        SimTransportDefaultConfig(&g_simTransport.config);
        g_simTransport.configured = 1;
    }
}

void RecordLocked(SimTransportOperation operation, int length, int endMarker, int capacity,
                  int result, int timeoutTicks = -1) {
    if (g_simTransport.callCount < SIM_TRANSPORT_MAX_CALLS) {
        SimTransportCall& call = g_simTransport.calls[g_simTransport.callCount];
        call.operation = operation;
        call.length = length;
        call.endMarker = endMarker;
        call.capacity = capacity;
        call.timeoutTicks = timeoutTicks;
        call.result = result;
    }
    g_simTransport.callCount++;
}

PendingPiece* PendingFront(void) {
    return g_simTransport.pendingCount > 0 ? &g_simTransport.pending[g_simTransport.pendingHead]
                                           : nullptr;
}

void PendingPop(void) {
    g_simTransport.pendingHead = (g_simTransport.pendingHead + 1) % SIM_PENDING_SIZE;
    g_simTransport.pendingCount--;
}

// Moves the instrument's answers into the line, each due its delay after the request
// that caused it.
void CollectRepliesLocked(Clock::time_point requestTime) {
    unsigned char bytes[VI_MAX_REPLY];
    uint32_t delayMs = 0;
    int length;
    while ((length = VirtualInstrumentTakeReply(bytes, (int)sizeof bytes, &delayMs)) > 0) {
        if (g_simTransport.pendingCount >= SIM_PENDING_SIZE) {
            continue;
        }
        PendingPiece& piece =
            g_simTransport.pending[(g_simTransport.pendingHead + g_simTransport.pendingCount) %
                                   SIM_PENDING_SIZE];
        memcpy(piece.bytes, bytes, (size_t)length);
        piece.length = length;
        piece.due = requestTime + std::chrono::milliseconds(delayMs);
        g_simTransport.pendingCount++;
    }
}

enum DeliveryKind { DELIVER_MESSAGE, DELIVER_STREAM };

int Send(SimTransportOperation operation, const unsigned char* bytes, int length, int endMarker,
         DeliveryKind kind) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    EnsureConfiguredLocked();
    int sendIndex = g_simTransport.sendCount++;
    if (sendIndex == g_simTransport.config.failSendAt) {
        RecordLocked(operation, length, endMarker, 0, g_simTransport.config.failSendResult);
        return g_simTransport.config.failSendResult;
    }
    if (bytes == nullptr || length < 0) {
        RecordLocked(operation, length, endMarker, 0, 0);
        return 0;
    }
    Clock::time_point now = Clock::now();
    if (kind == DELIVER_MESSAGE) {
        VirtualInstrumentHandleMessage(bytes, length);
    } else {
        VirtualInstrumentFeed(bytes, length);
    }
    CollectRepliesLocked(now);
    RecordLocked(operation, length, endMarker, 0, 1);
    return 1;
}

int Copy(unsigned char* out, int capacity, const PendingPiece* piece) {
    int length = piece->length < capacity ? piece->length : capacity;
    if (length > 0) {
        memcpy(out, piece->bytes, (size_t)length);
    }
    return length > 0 ? length : 0;
}

void SleepOneMillisecond(void) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

uint32_t ConfigValue(uint32_t SimTransportConfig::*field) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    EnsureConfiguredLocked();
    return g_simTransport.config.*field;
}

void RecordReceive(SimTransportOperation operation, int length, int capacity, int result) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    RecordLocked(operation, length, -1, capacity, result);
}

} // namespace

void SimTransportDefaultConfig(SimTransportConfig* config) {
    memset(config, 0, sizeof *config);
    config->midiTickMs = 10;
    config->serialTimeoutMs = 1000;
    config->usbWaitLimitMs = 1000;
    config->kernelTimeoutMs = 1000;
    config->failSendAt = -1;
    config->failSendResult = 0;
}

void SimTransportReset(const SimTransportConfig* config) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    g_simTransport.config = *config;
    g_simTransport.configured = 1;
    g_simTransport.pendingHead = 0;
    g_simTransport.pendingCount = 0;
    g_simTransport.callCount = 0;
    g_simTransport.sendCount = 0;
    g_simTransport.receiveAborted = 0;
}

int SimTransportCallCount(void) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    return g_simTransport.callCount;
}

int SimTransportGetCall(int index, SimTransportCall* out) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    if (index < 0 || index >= g_simTransport.callCount || index >= SIM_TRANSPORT_MAX_CALLS) {
        return 0;
    }
    *out = g_simTransport.calls[index];
    return 1;
}

int SimTransportPendingReplies(void) {
    std::lock_guard<std::mutex> guard(g_simTransport.lock);
    return g_simTransport.pendingCount;
}

// ---- Serial port: a byte stream; bytes before 0xF0 are dropped by the receiver.

int SerialSend(const unsigned char* data, int length) {
    return Send(SIM_SERIAL_SEND, data, length, -1, DELIVER_STREAM);
}

int SerialReceive(unsigned char* buffer, int maxLength) {
    Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(ConfigValue(&SimTransportConfig::serialTimeoutMs));
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_simTransport.lock);
            if (g_simTransport.receiveAborted) {
                RecordLocked(SIM_SERIAL_RECEIVE, 0, -1, maxLength, -2);
                return -2;
            }
            Clock::time_point now = Clock::now();
            PendingPiece* piece;
            while ((piece = PendingFront()) != nullptr && piece->due <= now &&
                   piece->bytes[0] != SYSEX_START) {
                PendingPop();
            }
            if (piece == nullptr) {
                // Nothing was asked that could still be answered.
                RecordLocked(SIM_SERIAL_RECEIVE, 0, -1, maxLength, -1);
                return -1;
            }
            if (piece->due <= now) {
                int length = Copy(buffer, maxLength, piece);
                PendingPop();
                RecordLocked(SIM_SERIAL_RECEIVE, length, -1, maxLength, 1);
                return 1;
            }
            if (now >= deadline) {
                RecordLocked(SIM_SERIAL_RECEIVE, 0, -1, maxLength, -1);
                return -1;
            }
        }
        SleepOneMillisecond();
    }
}

// ---- MIDI: whole messages; an input buffer that does not start a message is skipped.

int MidiSend(const unsigned char* bytes, int length) {
    return Send(SIM_MIDI_SEND, bytes, length, -1, DELIVER_MESSAGE);
}

namespace {

// The first message due by `now` goes into the buffer (pieces due before it that start no
// message are dropped, as an input buffer that does not start one is skipped), or the
// user's stop ends the receive: 1 or -2, recorded; 0 when neither.
int MidiTakeDueLocked(Clock::time_point now, unsigned char* buffer, int capacity,
                      int timeoutTicks) {
    int limit = capacity < MIDI_RX_BUFFER_SIZE ? capacity : MIDI_RX_BUFFER_SIZE;
    PendingPiece* piece;
    while ((piece = PendingFront()) != nullptr && piece->due <= now) {
        if (piece->bytes[0] == SYSEX_START) {
            int length = Copy(buffer, limit, piece);
            PendingPop();
            RecordLocked(SIM_MIDI_RECEIVE, length, -1, capacity, 1, timeoutTicks);
            return 1;
        }
        PendingPop();
    }
    if (g_simTransport.receiveAborted) {
        RecordLocked(SIM_MIDI_RECEIVE, 0, -1, capacity, -2, timeoutTicks);
        return -2;
    }
    return 0;
}

// Ticks shorter than the 1 ms the sleeps are made of: the wait is the time that passed,
// not the sleeps counted, and a message due by the end of it is always taken first.
int MidiReceiveOnTheClock(unsigned char* buffer, int capacity, int timeoutTicks, uint32_t tickUs) {
    Clock::time_point deadline =
        Clock::now() + std::chrono::microseconds((int64_t)timeoutTicks * tickUs);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_simTransport.lock);
            Clock::time_point now = Clock::now();
            int taken = MidiTakeDueLocked(now, buffer, capacity, timeoutTicks);
            if (taken != 0) {
                return taken;
            }
            if (now >= deadline) {
                RecordLocked(SIM_MIDI_RECEIVE, 0, -1, capacity, -1, timeoutTicks);
                return -1;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

} // namespace

int MidiReceive(unsigned char* buffer, int capacity, int timeoutTicks) {
    uint32_t tickUs = ConfigValue(&SimTransportConfig::midiTickUs);
    if (tickUs != 0) {
        return MidiReceiveOnTheClock(buffer, capacity, timeoutTicks, tickUs);
    }
    uint32_t tickMs = ConfigValue(&SimTransportConfig::midiTickMs);
    for (int ticks = 0;; ticks++) {
        Clock::time_point tickEnd = Clock::now() + std::chrono::milliseconds(tickMs);
        {
            std::lock_guard<std::mutex> guard(g_simTransport.lock);
            int taken = MidiTakeDueLocked(Clock::now(), buffer, capacity, timeoutTicks);
            if (taken != 0) {
                return taken;
            }
            if (ticks >= timeoutTicks) {
                RecordLocked(SIM_MIDI_RECEIVE, 0, -1, capacity, -1, timeoutTicks);
                return -1;
            }
        }
        while (Clock::now() < tickEnd && !g_simTransport.receiveAborted) {
            SleepOneMillisecond();
        }
    }
}

void MidiAbortReceive(void) {
    g_simTransport.receiveAborted = 1;
}

// ---- USB bulk: every read is one transfer of at most 16 bytes; the rest of a longer
// reply is what the next read gets. A data packet arrives in three writes, which the
// instrument frames like a byte stream.

int UsbBulkSend(const unsigned char* data, int length) {
    return Send(SIM_USB_BULK_SEND, data, length, -1, DELIVER_STREAM);
}

int UsbBulkReceive(unsigned char* buffer) {
    Clock::time_point giveUp =
        Clock::now() + std::chrono::milliseconds(ConfigValue(&SimTransportConfig::usbWaitLimitMs));
    for (;;) {
        if (g_simTransport.receiveAborted) {
            RecordReceive(SIM_USB_BULK_RECEIVE, 0, USB_BULK_READ_SIZE, -2);
            return -2;
        }
        {
            std::lock_guard<std::mutex> guard(g_simTransport.lock);
            PendingPiece* piece = PendingFront();
            Clock::time_point now = Clock::now();
            if (piece != nullptr && piece->due <= now) {
                int length = Copy(buffer, USB_BULK_READ_SIZE, piece);
                if (piece->length > length) {
                    memmove(piece->bytes, piece->bytes + length, (size_t)(piece->length - length));
                    piece->length -= length;
                } else {
                    PendingPop();
                }
                RecordLocked(SIM_USB_BULK_RECEIVE, length, -1, USB_BULK_READ_SIZE, 1);
                return 1;
            }
            // A reply on its way always comes; only an empty line would hang the read.
            if (piece == nullptr && now >= giveUp) {
                RecordLocked(SIM_USB_BULK_RECEIVE, 0, -1, USB_BULK_READ_SIZE, 0);
                return 0;
            }
        }
        SleepOneMillisecond();
    }
}

void UsbBulkAbort(void) {
    g_simTransport.receiveAborted = 1;
}

// ---- Kernel USB-MIDI driver: messages as event packets, or raw writes to the pipe.
// Anything but a System Exclusive message arrives as packets the receiver rejects.

int KernelMidiSend(const unsigned char* bytes, int length, int endMarker) {
    return Send(SIM_KERNEL_MIDI_SEND, bytes, length, endMarker, DELIVER_MESSAGE);
}

int KernelMidiWriteRaw(const unsigned char* bytes, int length) {
    return Send(SIM_KERNEL_MIDI_WRITE_RAW, bytes, length, -1, DELIVER_STREAM);
}

int KernelMidiReceive(unsigned char* buffer, int capacity) {
    Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(ConfigValue(&SimTransportConfig::kernelTimeoutMs));
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_simTransport.lock);
            if (g_simTransport.receiveAborted) {
                RecordLocked(SIM_KERNEL_MIDI_RECEIVE, 0, -1, capacity, -2);
                return -2;
            }
            PendingPiece* piece = PendingFront();
            Clock::time_point now = Clock::now();
            if (piece != nullptr && piece->due <= now) {
                int isMessage = piece->bytes[0] == SYSEX_START;
                int length = isMessage ? Copy(buffer, capacity, piece) : 0;
                PendingPop();
                RecordLocked(SIM_KERNEL_MIDI_RECEIVE, length, -1, capacity, isMessage);
                return isMessage;
            }
            if (now >= deadline) {
                RecordLocked(SIM_KERNEL_MIDI_RECEIVE, 0, -1, capacity, 0);
                return 0;
            }
        }
        SleepOneMillisecond();
    }
}

void SerialAbortReceive(void) {
    g_simTransport.receiveAborted = 1;
}

void KernelMidiAbortReceive(void) {
    g_simTransport.receiveAborted = 1;
}
