// The simulated kernel USB-MIDI driver. Its packet handling is written from the USB-MIDI
// event packet layout on its own, not with the transport's codec, so a fault in one side
// shows up against the other.
#include "tests/doubles/kernel_midi_driver_sim.h"

#include "sim/virtual_instrument.h"
#include "transports/kernel_midi_driver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#endif

#define SIM_HANDLES 16
#define HANDLE_BASE 100
#define BLOCK_SIZE 64
#define QUEUE_BLOCKS 1024
#define MAX_WRITES 1024

namespace {

typedef std::chrono::steady_clock Clock;

enum HandleKind { KIND_FREE = 0, KIND_DEVICE, KIND_PIPE_IN, KIND_PIPE_OUT };

struct SimHandle {
    HandleKind kind;
    int device;
    bool cancelled;
};

struct QueuedBlock {
    unsigned char bytes[BLOCK_SIZE];
    Clock::time_point due;
};

struct SimWrite {
    unsigned char bytes[KMIDI_SIM_WRITE_KEPT];
    int length;
};

struct SimDriver {
    std::mutex lock;
    std::condition_variable arrived;
    KernelMidiSimConfig config;
    bool configured;
    SimHandle handles[SIM_HANDLES];
    int deviceOpens[KMIDI_SIM_DEVICES];
    int changeQueries;
    int idRequests;
    QueuedBlock queue[QUEUE_BLOCKS];
    int queueHead;
    int queueCount;
    SimWrite writes[MAX_WRITES];
    int writeCount;
    int markers;
    int badPackets;
    int reads;
    int hungReads;
    unsigned char message[VI_MAX_MESSAGE];
    int messageLength;
};

SimDriver g_kernelMidiSim;
// Counts KernelMidiSimReleaseReads calls; a hanging read waits for it to change. Kept
// apart from the driver's lock, which a hanging read must not hold: it may be stopped by
// force where it stands.
std::atomic<int> s_releases{0};

void EnsureConfiguredLocked(void) {
    if (!g_kernelMidiSim.configured) {
        KernelMidiSimDefaultConfig(&g_kernelMidiSim.config);
        g_kernelMidiSim.configured = true;
    }
}

SimHandle* Lookup(KernelMidiHandle handle) {
    intptr_t index = handle - HANDLE_BASE;
    if (index < 0 || index >= SIM_HANDLES || g_kernelMidiSim.handles[index].kind == KIND_FREE) {
        return nullptr;
    }
    return &g_kernelMidiSim.handles[index];
}

// "\\.\VMPRT<n>" or "\\.\VMPRT<n>\P91" / "\P11".
HandleKind ParseName(const char* name, int* device) {
    static const char kPrefix[] = "\\\\.\\VMPRT";
    size_t prefix = sizeof kPrefix - 1;
    if (strncmp(name, kPrefix, prefix) != 0 || name[prefix] < '0' || name[prefix] > '7') {
        return KIND_FREE;
    }
    *device = name[prefix] - '0';
    const char* rest = name + prefix + 1;
    if (*rest == '\0') {
        return KIND_DEVICE;
    }
    if (strcmp(rest, "\\P91") == 0) {
        return KIND_PIPE_IN;
    }
    if (strcmp(rest, "\\P11") == 0) {
        return KIND_PIPE_OUT;
    }
    return KIND_FREE;
}

// A cancelled read of a driver that ignores the cancel blocks until the test releases it
// or its thread is stopped by force. It waits outside every function that holds the
// driver's lock or has anything to clean up, so a forced stop leaves the driver whole.
struct HangingRead {
    bool hanging;
    bool unstoppable; // POSIX: the thread also refuses to be cancelled meanwhile
    int release;      // s_releases when it began
};

int Hang(const HangingRead& hang) {
#ifndef _WIN32
    int cancelState = PTHREAD_CANCEL_ENABLE;
    if (hang.unstoppable) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    }
#endif
    while (s_releases.load() == hang.release) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
#ifndef _WIN32
    if (hang.unstoppable) {
        pthread_setcancelstate(cancelState, nullptr);
    }
#endif
    return -1;
}

void QueueLocked(const unsigned char* block, Clock::time_point due) {
    if (g_kernelMidiSim.queueCount >= QUEUE_BLOCKS) {
        return;
    }
    QueuedBlock& q =
        g_kernelMidiSim
            .queue[(g_kernelMidiSim.queueHead + g_kernelMidiSim.queueCount) % QUEUE_BLOCKS];
    memcpy(q.bytes, block, BLOCK_SIZE);
    q.due = due;
    g_kernelMidiSim.queueCount++;
}

// A reply goes out as packets of 3 bytes (code index number 4) and one ending packet of
// 1 to 3 bytes (5 to 7), 16 to a block, each reply starting a block of its own.
void QueueReplyLocked(const unsigned char* bytes, int length, Clock::time_point due) {
    unsigned char block[BLOCK_SIZE];
    memset(block, 0, sizeof block);
    int packet = 0;
    // A device puts bytes outside a System Exclusive message into single-byte packets
    // (code index 0xF), not into System Exclusive ones.
    const bool exclusive = length > 0 && bytes[0] == 0xF0;
    for (int pos = 0; pos < length; pos += exclusive ? 3 : 1) {
        int n = !exclusive ? 1 : length - pos < 3 ? length - pos : 3;
        bool last = pos + n >= length;
        unsigned char* p = block + packet * 4;
        p[0] = (unsigned char)(!exclusive ? 0x0F : last ? 4 + n : 4);
        memcpy(p + 1, bytes + pos, (size_t)n);
        packet++;
        if (packet == BLOCK_SIZE / 4 || last) {
            QueueLocked(block, due);
            memset(block, 0, sizeof block);
            packet = 0;
        }
    }
    g_kernelMidiSim.arrived.notify_all();
}

void CollectRepliesLocked(Clock::time_point now) {
    unsigned char reply[VI_MAX_REPLY];
    uint32_t delayMs = 0;
    int length;
    while ((length = VirtualInstrumentTakeReply(reply, (int)sizeof reply, &delayMs)) > 0) {
        QueueReplyLocked(reply, length, now + std::chrono::milliseconds(delayMs));
    }
}

void DecodePacketsLocked(const unsigned char* bytes, int length) {
    static const unsigned char kMarker[4] = {0xFF, 0xFF, 0xFF, 0x00};
    for (int pos = 0; pos + 4 <= length; pos += 4) {
        const unsigned char* p = bytes + pos;
        if (memcmp(p, kMarker, 4) == 0) {
            g_kernelMidiSim.markers++;
            continue;
        }
        int cin = p[0] & 0x0F;
        if (cin < 4 || cin > 7) {
            g_kernelMidiSim.badPackets++;
            g_kernelMidiSim.messageLength = 0;
            continue;
        }
        int n = cin == 4 ? 3 : cin - 4;
        if (g_kernelMidiSim.messageLength + n > VI_MAX_MESSAGE) {
            g_kernelMidiSim.messageLength = 0;
            continue;
        }
        memcpy(g_kernelMidiSim.message + g_kernelMidiSim.messageLength, p + 1, (size_t)n);
        g_kernelMidiSim.messageLength += n;
        if (cin != 4) {
            VirtualInstrumentHandleMessage(g_kernelMidiSim.message, g_kernelMidiSim.messageLength);
            g_kernelMidiSim.messageLength = 0;
        }
    }
}

} // namespace

void KernelMidiSimDefaultConfig(KernelMidiSimConfig* config) {
    memset(config, 0, sizeof *config);
    config->devicePresent = 1u;
    for (int i = 0; i < KMIDI_SIM_DEVICES; i++) {
        config->deviceId[i] = 0x0100;
    }
    config->changeAnswer = 1;
    config->failWriteAt = -1;
    config->shortWriteAt = -1;
}

void KernelMidiSimReset(const KernelMidiSimConfig* config) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    g_kernelMidiSim.config = *config;
    g_kernelMidiSim.configured = true;
    memset(g_kernelMidiSim.handles, 0, sizeof g_kernelMidiSim.handles);
    memset(g_kernelMidiSim.deviceOpens, 0, sizeof g_kernelMidiSim.deviceOpens);
    g_kernelMidiSim.changeQueries = g_kernelMidiSim.idRequests = 0;
    g_kernelMidiSim.queueHead = g_kernelMidiSim.queueCount = 0;
    g_kernelMidiSim.writeCount = g_kernelMidiSim.markers = g_kernelMidiSim.badPackets =
        g_kernelMidiSim.reads = 0;
    g_kernelMidiSim.hungReads = 0;
    g_kernelMidiSim.messageLength = 0;
}

int KernelMidiSimDeviceOpens(int number) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return number >= 0 && number < KMIDI_SIM_DEVICES ? g_kernelMidiSim.deviceOpens[number] : 0;
}

int KernelMidiSimRequests(uint32_t code) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return code == IOCTL_KMIDI_CHANGE_QUERY    ? g_kernelMidiSim.changeQueries
           : code == IOCTL_KMIDI_GET_DEVICE_ID ? g_kernelMidiSim.idRequests
                                               : 0;
}

int KernelMidiSimOpenHandles(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    int open = 0;
    for (const SimHandle& h : g_kernelMidiSim.handles) {
        open += h.kind != KIND_FREE;
    }
    return open;
}

int KernelMidiSimWriteCount(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.writeCount;
}

int KernelMidiSimWrite(int index, unsigned char* out, int capacity) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    if (index < 0 || index >= g_kernelMidiSim.writeCount || index >= MAX_WRITES) {
        return 0;
    }
    const SimWrite& w = g_kernelMidiSim.writes[index];
    int kept = w.length < KMIDI_SIM_WRITE_KEPT ? w.length : KMIDI_SIM_WRITE_KEPT;
    memcpy(out, w.bytes, (size_t)(kept < capacity ? kept : capacity));
    return w.length;
}

int KernelMidiSimMarkers(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.markers;
}

int KernelMidiSimBadPackets(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.badPackets;
}

void KernelMidiSimQueueBlock(const unsigned char* block) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    QueueLocked(block, Clock::now());
    g_kernelMidiSim.arrived.notify_all();
}

int KernelMidiSimQueuedBlocks(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.queueCount;
}

int KernelMidiSimReads(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.reads;
}

int KernelMidiSimHungReads(void) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    return g_kernelMidiSim.hungReads;
}

void KernelMidiSimReleaseReads(void) {
    s_releases.fetch_add(1);
}

// ---- The driver access the transport calls.

KernelMidiHandle KernelMidiDriverOpen(const char* name) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    EnsureConfiguredLocked();
    int device = 0;
    HandleKind kind = ParseName(name, &device);
    if (kind == KIND_DEVICE) {
        g_kernelMidiSim.deviceOpens[device]++;
    }
    if (kind == KIND_FREE || !(g_kernelMidiSim.config.devicePresent & (1u << device)) ||
        (kind == KIND_PIPE_IN && g_kernelMidiSim.config.failInPipe) ||
        (kind == KIND_PIPE_OUT && g_kernelMidiSim.config.failOutPipe)) {
        return KERNEL_MIDI_NO_HANDLE;
    }
    for (int i = 0; i < SIM_HANDLES; i++) {
        if (g_kernelMidiSim.handles[i].kind == KIND_FREE) {
            g_kernelMidiSim.handles[i].kind = kind;
            g_kernelMidiSim.handles[i].device = device;
            g_kernelMidiSim.handles[i].cancelled = false;
            return HANDLE_BASE + i;
        }
    }
    return KERNEL_MIDI_NO_HANDLE;
}

void KernelMidiDriverClose(KernelMidiHandle handle) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    SimHandle* h = Lookup(handle);
    if (h != nullptr) {
        h->kind = KIND_FREE;
    }
}

int KernelMidiDriverRequest(KernelMidiHandle handle, uint32_t code, uint32_t* value) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    SimHandle* h = Lookup(handle);
    uint32_t answer = 0;
    int ok = h != nullptr && h->kind == KIND_DEVICE && !g_kernelMidiSim.config.failRequests;
    if (code == IOCTL_KMIDI_CHANGE_QUERY) {
        g_kernelMidiSim.changeQueries++;
        answer = g_kernelMidiSim.config.changeAnswer;
    } else if (code == IOCTL_KMIDI_GET_DEVICE_ID) {
        g_kernelMidiSim.idRequests++;
        answer = h != nullptr ? g_kernelMidiSim.config.deviceId[h->device] : 0;
    } else {
        ok = 0;
    }
    *value = ok ? answer : 0;
    return ok;
}

namespace {

int ReadPipe(KernelMidiHandle handle, unsigned char* buffer, int length, HangingRead* hang) {
    std::unique_lock<std::mutex> guard(g_kernelMidiSim.lock);
    g_kernelMidiSim.reads++;
    SimHandle* h = Lookup(handle);
    if (h == nullptr || h->kind != KIND_PIPE_IN || length < BLOCK_SIZE) {
        return -1;
    }
    if (g_kernelMidiSim.config.failedReads > 0) {
        g_kernelMidiSim.config.failedReads--;
        return -1;
    }
    if (g_kernelMidiSim.config.shortReads > 0) {
        g_kernelMidiSim.config.shortReads--;
        memset(buffer, 0xEE, BLOCK_SIZE / 2);
        return BLOCK_SIZE / 2;
    }
    for (;;) {
        if (h->cancelled) {
            if (g_kernelMidiSim.config.cancelIgnored != KMIDI_SIM_CANCEL_HONOURED) {
                g_kernelMidiSim.hungReads++;
                hang->hanging = true;
                hang->unstoppable =
                    g_kernelMidiSim.config.cancelIgnored == KMIDI_SIM_CANCEL_IGNORED_UNSTOPPABLE;
                hang->release = s_releases.load();
            }
            return -1;
        }
        Clock::time_point now = Clock::now();
        if (g_kernelMidiSim.queueCount > 0) {
            QueuedBlock& q = g_kernelMidiSim.queue[g_kernelMidiSim.queueHead];
            if (q.due <= now) {
                memcpy(buffer, q.bytes, BLOCK_SIZE);
                g_kernelMidiSim.queueHead = (g_kernelMidiSim.queueHead + 1) % QUEUE_BLOCKS;
                g_kernelMidiSim.queueCount--;
                return BLOCK_SIZE;
            }
            g_kernelMidiSim.arrived.wait_until(guard, q.due);
        } else {
            g_kernelMidiSim.arrived.wait(guard);
        }
        h = Lookup(handle);
        if (h == nullptr) {
            return -1;
        }
    }
}

} // namespace

int KernelMidiDriverRead(KernelMidiHandle handle, unsigned char* buffer, int length) {
    HangingRead hang = {false, false, 0};
    int got = ReadPipe(handle, buffer, length, &hang);
    return hang.hanging ? Hang(hang) : got;
}

int KernelMidiDriverWrite(KernelMidiHandle handle, const unsigned char* bytes, int length) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    EnsureConfiguredLocked();
    SimHandle* h = Lookup(handle);
    if (h == nullptr || h->kind != KIND_PIPE_OUT || length < 0) {
        return -1;
    }
    int index = g_kernelMidiSim.writeCount++;
    if (index < MAX_WRITES) {
        SimWrite& w = g_kernelMidiSim.writes[index];
        w.length = length;
        memcpy(w.bytes, bytes,
               (size_t)(length < KMIDI_SIM_WRITE_KEPT ? length : KMIDI_SIM_WRITE_KEPT));
    }
    if (index == g_kernelMidiSim.config.failWriteAt) {
        return -1;
    }
    if (index == g_kernelMidiSim.config.shortWriteAt) {
        return length > 0 ? length - 1 : 0;
    }
    // Packets always begin with a cable and code index byte other than 0xF0; the
    // updater's raw data messages begin with the System Exclusive status itself.
    if (length > 0 && bytes[0] == 0xF0) {
        VirtualInstrumentFeed(bytes, length);
    } else if (length % 4 != 0) {
        return -1;
    } else {
        DecodePacketsLocked(bytes, length);
    }
    CollectRepliesLocked(Clock::now());
    return length;
}

void KernelMidiDriverCancelRead(KernelMidiHandle handle) {
    std::lock_guard<std::mutex> guard(g_kernelMidiSim.lock);
    SimHandle* h = Lookup(handle);
    if (h != nullptr) {
        h->cancelled = true;
        g_kernelMidiSim.arrived.notify_all();
    }
}
