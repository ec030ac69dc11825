// The stand-in raw MIDI ports: two pipes between the transport and a thread that plays
// the instrument. The thread feeds the instrument what arrives, and writes its replies
// back once they are due.
#include "tests/doubles/rawmidi_instrument.h"

#include "platform/text.h"
#include "sim/virtual_instrument.h"

#include <chrono>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#define SIM_HANDLES 4
#define SIM_PENDING 64
#define SIM_REAL_TIME_BYTE 0xF8

namespace {

typedef std::chrono::steady_clock Clock;

struct SimOpen {
    char device[RAWMIDI_ID_SIZE];
    int directions;
};

struct PendingReply {
    unsigned char bytes[VI_MAX_REPLY];
    int length;
    Clock::time_point due;
};

// The instrument's end of the link, owned by its thread while the link is up.
struct InstrumentEnd {
    int fromUpdater;
    int toUpdater;
    RawMidiInstrumentConfig config;
    PendingReply pending[SIM_PENDING];
    int pendingHead;
    int pendingCount;
};

struct RawMidiSim {
    std::mutex lock;
    RawMidiInstrumentConfig config;
    bool configured;
    SimOpen opens[RAWMIDI_SIM_OPENS];
    int openCount;
    int handleDirections[SIM_HANDLES]; // 0: free
    // The link, up while a handle is open: updater -> instrument, instrument -> updater.
    int toInstrument[2];
    int toUpdater[2];
    bool unplugged; // until the link goes down
    std::thread instrument;
    InstrumentEnd end;
};

RawMidiSim g_rawMidiSim;

void SetPort(RawMidiPortInfo* port, int card, int device, int subdevice, int in, int out,
             const char* name) {
    port->card = card;
    port->device = device;
    port->subdevice = subdevice;
    port->canInput = in;
    port->canOutput = out;
    TextFormat(port->id, sizeof port->id, "hw:%d,%d,%d", card, device, subdevice);
    TextCopy(port->name, sizeof port->name, name);
}

void EnsureConfiguredLocked(void) {
    if (!g_rawMidiSim.configured) {
        RawMidiInstrumentDefaultConfig(&g_rawMidiSim.config);
        g_rawMidiSim.configured = true;
    }
}

int OpenHandlesLocked(void) {
    int open = 0;
    for (int directions : g_rawMidiSim.handleDirections) {
        open += directions != 0;
    }
    return open;
}

int WriteAll(int fd, const unsigned char* bytes, int length) {
    int done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, (size_t)(length - done));
        if (n > 0) {
            done += (int)n;
        } else if (n < 0 && errno != EINTR) {
            return 0;
        }
    }
    return 1;
}

void CollectReplies(InstrumentEnd* end, Clock::time_point requestTime) {
    unsigned char bytes[VI_MAX_REPLY];
    uint32_t delayMs = 0;
    int length;
    while ((length = VirtualInstrumentTakeReply(bytes, (int)sizeof bytes, &delayMs)) > 0) {
        if (end->pendingCount >= SIM_PENDING) {
            continue;
        }
        PendingReply& reply = end->pending[(end->pendingHead + end->pendingCount) % SIM_PENDING];
        memcpy(reply.bytes, bytes, (size_t)length);
        reply.length = length;
        reply.due = requestTime + std::chrono::milliseconds(delayMs);
        end->pendingCount++;
    }
}

// One reply on the wire as the configuration shapes it: the noise first, then the reply
// with timing clocks among its bytes.
void DeliverReply(InstrumentEnd* end, const PendingReply& reply) {
    const RawMidiInstrumentConfig& c = end->config;
    WriteAll(end->toUpdater, c.noise, c.noiseLength);
    unsigned char shaped[2 * VI_MAX_REPLY];
    int length = 0;
    for (int i = 0; i < reply.length; i++) {
        shaped[length++] = reply.bytes[i];
        if (c.realTimeEvery > 0 && (i + 1) % c.realTimeEvery == 0 && i + 1 < reply.length) {
            shaped[length++] = SIM_REAL_TIME_BYTE;
        }
    }
    WriteAll(end->toUpdater, shaped, length);
}

// Runs until the updater's end of the link is closed.
void RunInstrument(InstrumentEnd* end) {
    unsigned char bytes[4096];
    for (;;) {
        int waitMs = -1;
        if (end->pendingCount > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end->pending[end->pendingHead].due - Clock::now());
            waitMs = left.count() > 0 ? (int)left.count() + 1 : 0;
        }
        struct pollfd wait = {end->fromUpdater, POLLIN, 0};
        int ready = poll(&wait, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0) {
            ssize_t n = read(end->fromUpdater, bytes, sizeof bytes);
            if (n == 0 || (n < 0 && errno != EINTR)) {
                return; // the updater closed its end
            }
            if (n > 0) {
                Clock::time_point now = Clock::now();
                VirtualInstrumentFeed(bytes, (int)n);
                CollectReplies(end, now);
            }
        }
        while (end->pendingCount > 0 && end->pending[end->pendingHead].due <= Clock::now()) {
            DeliverReply(end, end->pending[end->pendingHead]);
            end->pendingHead = (end->pendingHead + 1) % SIM_PENDING;
            end->pendingCount--;
        }
    }
}

int LinkUpLocked(void) {
    RawMidiSim& s = g_rawMidiSim;
    if (pipe2(s.toInstrument, O_CLOEXEC) != 0) {
        return 0;
    }
    if (pipe2(s.toUpdater, O_CLOEXEC) != 0) {
        close(s.toInstrument[0]);
        close(s.toInstrument[1]);
        return 0;
    }
    s.end.fromUpdater = s.toInstrument[0];
    s.end.toUpdater = s.toUpdater[1];
    s.end.config = s.config;
    s.end.pendingHead = 0;
    s.end.pendingCount = 0;
    s.unplugged = false;
    s.instrument = std::thread(RunInstrument, &s.end);
    return 1;
}

// Closing the updater's writing end ends the thread; whatever was still on its way is
// lost, as it is when a port closes.
void LinkDownLocked(void) {
    RawMidiSim& s = g_rawMidiSim;
    close(s.toInstrument[1]);
    s.instrument.join();
    close(s.toInstrument[0]);
    close(s.toUpdater[0]);
    close(s.toUpdater[1]);
}

// The direction a handle was opened for, or 0 for no open handle.
int HandleDirections(RawMidiHandle handle) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    if (handle < 1 || handle > SIM_HANDLES) {
        return 0;
    }
    return g_rawMidiSim.handleDirections[handle - 1];
}

// A name leads to the instrument when it names a listed port: its id, or "hw:C,D" of it.
int DeviceListedLocked(const char* device) {
    const RawMidiInstrumentConfig& c = g_rawMidiSim.config;
    for (int i = 0; i < c.portCount; i++) {
        char shortId[RAWMIDI_ID_SIZE];
        TextFormat(shortId, sizeof shortId, "hw:%d,%d", c.ports[i].card, c.ports[i].device);
        if (strcmp(device, c.ports[i].id) == 0 || strcmp(device, shortId) == 0) {
            return 1;
        }
    }
    return 0;
}

} // namespace

void RawMidiInstrumentDefaultConfig(RawMidiInstrumentConfig* config) {
    *config = RawMidiInstrumentConfig();
    SetPort(&config->ports[0], 1, 0, 0, 1, 1, "ORVENT 1");
    SetPort(&config->ports[1], 1, 0, 1, 1, 0, "ORVENT 1 KEYBOARD");
    SetPort(&config->ports[2], 1, 1, 0, 1, 0, "ORVENT 2 KEYBOARD");
    SetPort(&config->ports[3], 1, 1, 0, 0, 1, "ORVENT 2 SOUND");
    config->portCount = 4;
    config->failOpenAt = -1;
}

void RawMidiInstrumentReset(const RawMidiInstrumentConfig* config) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    g_rawMidiSim.config = *config;
    if (g_rawMidiSim.config.portCount > RAWMIDI_SIM_PORTS) {
        g_rawMidiSim.config.portCount = RAWMIDI_SIM_PORTS;
    }
    if (g_rawMidiSim.config.noiseLength > RAWMIDI_SIM_NOISE) {
        g_rawMidiSim.config.noiseLength = RAWMIDI_SIM_NOISE;
    }
    g_rawMidiSim.configured = true;
    g_rawMidiSim.openCount = 0;
}

int RawMidiInstrumentInject(const unsigned char* bytes, int length) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    return OpenHandlesLocked() > 0 && WriteAll(g_rawMidiSim.toUpdater[1], bytes, length);
}

int RawMidiInstrumentOpenCount(void) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    return g_rawMidiSim.openCount;
}

int RawMidiInstrumentOpenDirections(int index) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    if (index < 0 || index >= g_rawMidiSim.openCount || index >= RAWMIDI_SIM_OPENS) {
        return 0;
    }
    return g_rawMidiSim.opens[index].directions;
}

const char* RawMidiInstrumentOpenDevice(int index) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    if (index < 0 || index >= g_rawMidiSim.openCount || index >= RAWMIDI_SIM_OPENS) {
        return "";
    }
    return g_rawMidiSim.opens[index].device;
}

int RawMidiInstrumentOpenHandles(void) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    return OpenHandlesLocked();
}

void RawMidiInstrumentUnplug(void) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    g_rawMidiSim.unplugged = OpenHandlesLocked() > 0;
}

int RawMidiListPorts(RawMidiPortInfo* ports, int capacity) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    EnsureConfiguredLocked();
    const RawMidiInstrumentConfig& c = g_rawMidiSim.config;
    for (int i = 0; i < c.portCount && i < capacity && ports != nullptr; i++) {
        ports[i] = c.ports[i];
    }
    return c.portCount;
}

int RawMidiOpen(const char* device, int directions, RawMidiHandle* handle, int* error) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    RawMidiSim& s = g_rawMidiSim;
    EnsureConfiguredLocked();
    *handle = RAWMIDI_NO_HANDLE;
    int index = s.openCount++;
    if (index < RAWMIDI_SIM_OPENS) {
        TextCopy(s.opens[index].device, sizeof s.opens[index].device, device);
        s.opens[index].directions = directions;
    }
    if (index == s.config.failOpenAt) {
        *error = s.config.openError;
        return 0;
    }
    if (!DeviceListedLocked(device)) {
        *error = ENOENT;
        return 0;
    }
    int slot = 0;
    while (slot < SIM_HANDLES && s.handleDirections[slot] != 0) {
        slot++;
    }
    if (slot == SIM_HANDLES || directions == 0) {
        *error = slot == SIM_HANDLES ? EMFILE : EINVAL;
        return 0;
    }
    if (OpenHandlesLocked() == 0 && !LinkUpLocked()) {
        *error = EMFILE;
        return 0;
    }
    s.handleDirections[slot] = directions;
    *handle = (RawMidiHandle)(slot + 1);
    return 1;
}

int RawMidiRead(RawMidiHandle handle, unsigned char* bytes, int capacity, int timeoutMs) {
    if (!(HandleDirections(handle) & RAWMIDI_INPUT) || capacity <= 0) {
        return -EBADF;
    }
    int fd;
    int readSize;
    {
        std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
        if (g_rawMidiSim.unplugged) {
            return -ENODEV;
        }
        fd = g_rawMidiSim.toUpdater[0];
        readSize = g_rawMidiSim.config.readSize;
    }
    if (readSize > 0 && readSize < capacity) {
        capacity = readSize;
    }
    struct pollfd wait = {fd, POLLIN, 0};
    int ready = poll(&wait, 1, timeoutMs > 0 ? timeoutMs : 0);
    if (ready < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    if (ready == 0) {
        return 0;
    }
    ssize_t n = read(fd, bytes, (size_t)capacity);
    if (n < 0) {
        return -errno;
    }
    return n > 0 ? (int)n : -EPIPE;
}

int RawMidiWrite(RawMidiHandle handle, const unsigned char* bytes, int length) {
    if (!(HandleDirections(handle) & RAWMIDI_OUTPUT)) {
        return -EBADF;
    }
    if (bytes == nullptr || length < 0) {
        return -EINVAL;
    }
    int fd;
    {
        std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
        if (g_rawMidiSim.unplugged) {
            return -ENODEV;
        }
        fd = g_rawMidiSim.toInstrument[1];
    }
    return WriteAll(fd, bytes, length) ? 1 : -errno;
}

void RawMidiClose(RawMidiHandle handle) {
    std::lock_guard<std::mutex> guard(g_rawMidiSim.lock);
    if (handle < 1 || handle > SIM_HANDLES || g_rawMidiSim.handleDirections[handle - 1] == 0) {
        return;
    }
    g_rawMidiSim.handleDirections[handle - 1] = 0;
    if (OpenHandlesLocked() == 0) {
        LinkDownLocked();
    }
}
