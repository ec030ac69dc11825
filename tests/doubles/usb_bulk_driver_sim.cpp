// The simulated USB bulk driver: devices, their descriptors and pipe files in memory,
// the instrument's pipes wired to the virtual instrument.
#include "tests/doubles/usb_bulk_driver_sim.h"

#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "transports/usb_bulk_driver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#define USB_SIM_MAX_HANDLES 256
#define USB_SIM_QUEUE_SIZE 64
#define USB_SIM_FIRST_HANDLE 0x1000

namespace {

typedef std::chrono::steady_clock Clock;

struct SimHandle {
    UsbHandle value; // 0 when the entry is unused
    int device;
    int pipe; // -1 for the device itself
};

struct SimPiece {
    unsigned char bytes[VI_MAX_REPLY];
    int length;
    int taken;
    Clock::time_point due;
};

struct SimDeviceState {
    UsbSimDevice config;
    int pipeFailuresLeft;
    unsigned abortCount; // a read that sees this change while it waits fails
};

struct UsbSimDriver {
    std::mutex lock;
    std::condition_variable changed;
    SimDeviceState devices[USB_SIM_MAX_DEVICES];
    int deviceCount;
    SimHandle handles[USB_SIM_MAX_HANDLES];
    UsbHandle nextHandle;
    SimPiece replies[USB_SIM_QUEUE_SIZE]; // the instrument's answers on its IN pipe
    int replyHead;
    int replyCount;
    uint32_t readWaitLimitMs; // 0: a read waits for data or an abort, as the real pipe does
    int writes;               // pipe writes since the reset
    int writeFaultAt;         // this write (from 0) comes back short or fails; -1: none
    int writeFaultShort;
    int pipeOpenAttempts;
    char lastPipePath[USB_SIM_PATH_SIZE + 16];
    int abortRequests;
    int checkRequests;
    int configRequests;
    int deviceRequests;
    int lastCheckInput;
    int badHandleUses;
    int waitingReads;
    uint32_t largestRead;
};

UsbSimDriver g_usbSim;

void ResetLocked(void) {
    g_usbSim.deviceCount = 0;
    for (SimHandle& h : g_usbSim.handles) {
        h.value = 0;
    }
    g_usbSim.nextHandle = USB_SIM_FIRST_HANDLE;
    g_usbSim.replyHead = 0;
    g_usbSim.replyCount = 0;
    g_usbSim.readWaitLimitMs = 0;
    g_usbSim.writes = 0;
    g_usbSim.writeFaultAt = -1;
    g_usbSim.writeFaultShort = 0;
    g_usbSim.pipeOpenAttempts = 0;
    g_usbSim.lastPipePath[0] = '\0';
    g_usbSim.abortRequests = 0;
    g_usbSim.checkRequests = 0;
    g_usbSim.configRequests = 0;
    g_usbSim.deviceRequests = 0;
    g_usbSim.lastCheckInput = -1;
    g_usbSim.badHandleUses = 0;
    g_usbSim.largestRead = 0;
}

SimHandle* FindHandleLocked(UsbHandle value) {
    if (value == USB_HANDLE_NONE || value == 0) {
        return nullptr;
    }
    for (SimHandle& h : g_usbSim.handles) {
        if (h.value == value) {
            return &h;
        }
    }
    return nullptr;
}

UsbHandle NewHandleLocked(int device, int pipe) {
    if (g_usbSim.nextHandle < USB_SIM_FIRST_HANDLE) {
        g_usbSim.nextHandle = USB_SIM_FIRST_HANDLE;
    }
    for (SimHandle& h : g_usbSim.handles) {
        if (h.value == 0) {
            // Handle values are never reused, so a use after close is always noticed.
            h.value = g_usbSim.nextHandle++;
            h.device = device;
            h.pipe = pipe;
            return h.value;
        }
    }
    return USB_HANDLE_NONE;
}

// The pipe a path names: device index and pipe number, or 0 when it names none.
int ParsePipePath(const char* path, int* device, int* pipe) {
    for (int d = 0; d < g_usbSim.deviceCount; d++) {
        const UsbSimDevice& dev = g_usbSim.devices[d].config;
        size_t length = strlen(dev.path);
        if (strncmp(path, dev.path, length) != 0) {
            continue;
        }
        const char* rest = path + length;
        if (strncmp(rest, "\\dpipe", 6) != 0 || rest[6] < '0' || rest[6] > '9' || rest[7] < '0' ||
            rest[7] > '9' || rest[8] != '\0') {
            continue;
        }
        int n = (rest[6] - '0') * 10 + (rest[7] - '0');
        if (n < dev.endpointCount) {
            *device = d;
            *pipe = n;
            return 1;
        }
    }
    return 0;
}

const UsbSimEndpoint* EndpointOf(const SimHandle* h) {
    if (h == nullptr || h->pipe < 0) {
        return nullptr;
    }
    return &g_usbSim.devices[h->device].config.endpoints[h->pipe];
}

int IsInstrumentPipe(const SimHandle* h, int wantIn) {
    const UsbSimEndpoint* e = EndpointOf(h);
    return e != nullptr && g_usbSim.devices[h->device].config.instrument &&
           ((e->address & 0x80) != 0) == (wantIn != 0) && (e->attributes & 0x03) == 2;
}

void CollectRepliesLocked(Clock::time_point requestTime) {
    unsigned char bytes[VI_MAX_REPLY];
    uint32_t delayMs = 0;
    int length;
    while ((length = VirtualInstrumentTakeReply(bytes, (int)sizeof bytes, &delayMs)) > 0) {
        if (g_usbSim.replyCount >= USB_SIM_QUEUE_SIZE) {
            continue;
        }
        SimPiece& piece =
            g_usbSim.replies[(g_usbSim.replyHead + g_usbSim.replyCount) % USB_SIM_QUEUE_SIZE];
        memcpy(piece.bytes, bytes, (size_t)length);
        piece.length = length;
        piece.taken = 0;
        piece.due = requestTime + std::chrono::milliseconds(delayMs);
        g_usbSim.replyCount++;
    }
    g_usbSim.changed.notify_all();
}

void PutWord(unsigned char* at, int value) {
    at[0] = (unsigned char)(value & 0xFF);
    at[1] = (unsigned char)((value >> 8) & 0xFF);
}

uint32_t CopyOut(void* buffer, uint32_t outSize, const unsigned char* bytes, uint32_t length) {
    uint32_t n = length < outSize ? length : outSize;
    if (n > 0 && buffer != nullptr) {
        memcpy(buffer, bytes, n);
    }
    return n;
}

} // namespace

void UsbSimDeviceDefaults(UsbSimDevice* device, const char* path, int vendorId, int productId) {
    memset(device, 0, sizeof *device);
    TextCopy(device->path, sizeof device->path, path);
    device->vendorId = (uint16_t)vendorId;
    device->productId = (uint16_t)productId;
    device->endpointCount = 2;
    device->endpoints[0] = {0x01, 0x02, 64};
    device->endpoints[1] = {0x82, 0x02, 64};
    device->connectionState = 1;
    UsbSimBuildConfig(device);
}

void UsbSimBuildConfig(UsbSimDevice* device) {
    unsigned char* c = device->config;
    int count = device->endpointCount < USB_SIM_MAX_ENDPOINTS ? device->endpointCount
                                                              : USB_SIM_MAX_ENDPOINTS;
    int total = 9 + 9 + 7 * count;
    memset(c, 0, sizeof device->config);
    const unsigned char configuration[9] = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    memcpy(c, configuration, sizeof configuration);
    PutWord(c + 2, total);
    const unsigned char interface[9] = {9, 4, 0, 0, (unsigned char)count, 0xFF, 0, 0, 0};
    memcpy(c + 9, interface, sizeof interface);
    for (int i = 0; i < count; i++) {
        unsigned char* e = c + 18 + 7 * i;
        e[0] = 7;
        e[1] = 5;
        e[2] = device->endpoints[i].address;
        e[3] = device->endpoints[i].attributes;
        PutWord(e + 4, device->endpoints[i].maxPacketSize);
        e[6] = 0;
    }
    device->configLength = total;
}

void UsbSimReset(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    ResetLocked();
    g_usbSim.changed.notify_all();
}

int UsbSimAddDevice(const UsbSimDevice* device) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    if (g_usbSim.deviceCount >= USB_SIM_MAX_DEVICES) {
        return -1;
    }
    SimDeviceState& state = g_usbSim.devices[g_usbSim.deviceCount];
    state.config = *device;
    state.pipeFailuresLeft = device->pipeOpenFailures;
    state.abortCount = 0;
    return g_usbSim.deviceCount++;
}

void UsbSimSetReadWaitLimit(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    g_usbSim.readWaitLimitMs = milliseconds;
}

void UsbSimSetWriteFault(int writeIndex, int shortWrite) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    g_usbSim.writeFaultAt = writeIndex;
    g_usbSim.writeFaultShort = shortWrite;
}

int UsbSimOpenHandleCount(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    int count = 0;
    for (const SimHandle& h : g_usbSim.handles) {
        count += h.value != 0;
    }
    return count;
}

int UsbSimPipeOpenAttempts(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    return g_usbSim.pipeOpenAttempts;
}

void UsbSimLastPipePath(char* out, size_t size) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    TextCopy(out, size, g_usbSim.lastPipePath);
}

int UsbSimRequestCount(uint32_t code) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    switch (code) {
    case IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR:
        return g_usbSim.configRequests;
    case IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR:
        return g_usbSim.deviceRequests;
    case IOCTL_USBBULK_ABORT_PIPE:
        return g_usbSim.abortRequests;
    case IOCTL_USBBULK_CHECK_DEVICE:
        return g_usbSim.checkRequests;
    default:
        return 0;
    }
}

int UsbSimLastCheckInput(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    return g_usbSim.lastCheckInput;
}

int UsbSimBadHandleUses(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    return g_usbSim.badHandleUses;
}

int UsbSimWaitingReads(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    return g_usbSim.waitingReads;
}

uint32_t UsbSimLargestRead(void) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    return g_usbSim.largestRead;
}

// ---- The driver-access calls the transport makes.

int UsbDriverInterfacePath(int index, char* path, size_t size) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    if (index < 0 || index >= g_usbSim.deviceCount) {
        return USB_DRIVER_PATH_END;
    }
    const char* devicePath = g_usbSim.devices[index].config.path;
    if (strlen(devicePath) >= size) {
        return USB_DRIVER_PATH_SKIP;
    }
    TextCopy(path, size, devicePath);
    return USB_DRIVER_PATH_OK;
}

UsbHandle UsbDriverOpen(const char* path) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    for (int d = 0; d < g_usbSim.deviceCount; d++) {
        if (strcmp(path, g_usbSim.devices[d].config.path) == 0) {
            return g_usbSim.devices[d].config.openFails ? USB_HANDLE_NONE : NewHandleLocked(d, -1);
        }
    }
    g_usbSim.pipeOpenAttempts++;
    TextCopy(g_usbSim.lastPipePath, sizeof g_usbSim.lastPipePath, path);
    int device = 0;
    int pipe = 0;
    if (!ParsePipePath(path, &device, &pipe)) {
        return USB_HANDLE_NONE;
    }
    SimDeviceState& state = g_usbSim.devices[device];
    if (state.pipeFailuresLeft > 0) {
        state.pipeFailuresLeft--;
        return USB_HANDLE_NONE;
    }
    return NewHandleLocked(device, pipe);
}

int UsbDriverRequest(UsbHandle device, uint32_t code, void* buffer, uint32_t inSize,
                     uint32_t outSize, uint32_t* returned) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    *returned = 0;
    SimHandle* h = FindHandleLocked(device);
    if (h == nullptr || h->pipe >= 0) {
        g_usbSim.badHandleUses++;
        return 0;
    }
    SimDeviceState& state = g_usbSim.devices[h->device];
    const UsbSimDevice& dev = state.config;
    switch (code) {
    case IOCTL_USBBULK_GET_DEVICE_DESCRIPTOR: {
        g_usbSim.deviceRequests++;
        if (dev.deviceDescriptorFails) {
            return 0;
        }
        unsigned char d[18] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0,
                               0,  0, 0,    0x00, 0x01, 1, 2, 0,  1};
        PutWord(d + 8, dev.vendorId);
        PutWord(d + 10, dev.productId);
        *returned = CopyOut(buffer, outSize, d, sizeof d);
        return 1;
    }
    case IOCTL_USBBULK_GET_CONFIG_DESCRIPTOR:
        g_usbSim.configRequests++;
        if (dev.configRequestFails) {
            return 0;
        }
        *returned = CopyOut(buffer, outSize, dev.config, (uint32_t)dev.configLength);
        return 1;
    case IOCTL_USBBULK_ABORT_PIPE:
        g_usbSim.abortRequests++;
        state.abortCount++;
        g_usbSim.changed.notify_all();
        return 1;
    case IOCTL_USBBULK_CHECK_DEVICE: {
        g_usbSim.checkRequests++;
        if (buffer == nullptr || inSize < 4 || outSize < 4) {
            return 0;
        }
        unsigned char* b = (unsigned char*)buffer;
        g_usbSim.lastCheckInput = b[0] | (b[1] << 8) | (b[2] << 16) | (b[3] << 24);
        uint32_t s = dev.connectionState;
        b[0] = (unsigned char)s;
        b[1] = (unsigned char)(s >> 8);
        b[2] = (unsigned char)(s >> 16);
        b[3] = (unsigned char)(s >> 24);
        *returned = 4;
        return 1;
    }
    default:
        return 0;
    }
}

int UsbDriverRead(UsbHandle file, void* buffer, uint32_t count, uint32_t* done) {
    std::unique_lock<std::mutex> hold(g_usbSim.lock);
    *done = 0;
    SimHandle* h = FindHandleLocked(file);
    const UsbSimEndpoint* e = EndpointOf(h);
    if (e == nullptr || (e->address & 0x80) == 0) {
        g_usbSim.badHandleUses += e == nullptr;
        return 0;
    }
    if (count > g_usbSim.largestRead) {
        g_usbSim.largestRead = count;
    }
    int device = h->device;
    int instrument = IsInstrumentPipe(h, 1);
    unsigned abortSeen = g_usbSim.devices[device].abortCount;
    const bool limited = g_usbSim.readWaitLimitMs != 0;
    Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(g_usbSim.readWaitLimitMs);
    g_usbSim.waitingReads++;
    int result = 0;
    for (;;) {
        if (g_usbSim.devices[device].abortCount != abortSeen) {
            break;
        }
        Clock::time_point now = Clock::now();
        SimPiece* piece =
            instrument && g_usbSim.replyCount > 0 ? &g_usbSim.replies[g_usbSim.replyHead] : nullptr;
        if (piece != nullptr && piece->due <= now) {
            uint32_t limit = count < USB_BULK_READ_SIZE ? count : USB_BULK_READ_SIZE;
            uint32_t left = (uint32_t)(piece->length - piece->taken);
            uint32_t n = left < limit ? left : limit;
            memcpy(buffer, piece->bytes + piece->taken, n);
            piece->taken += (int)n;
            if (piece->taken >= piece->length) {
                g_usbSim.replyHead = (g_usbSim.replyHead + 1) % USB_SIM_QUEUE_SIZE;
                g_usbSim.replyCount--;
            }
            *done = n;
            result = 1;
            break;
        }
        if (piece == nullptr && limited && now >= giveUp) {
            break;
        }
        if (piece == nullptr && !limited) {
            g_usbSim.changed.wait(hold);
        } else {
            g_usbSim.changed.wait_until(hold, piece != nullptr ? piece->due : giveUp);
        }
    }
    g_usbSim.waitingReads--;
    return result;
}

int UsbDriverWrite(UsbHandle file, const void* buffer, uint32_t count, uint32_t* done) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    *done = 0;
    SimHandle* h = FindHandleLocked(file);
    const UsbSimEndpoint* e = EndpointOf(h);
    if (e == nullptr || (e->address & 0x80) != 0) {
        g_usbSim.badHandleUses += e == nullptr;
        return 0;
    }
    const int index = g_usbSim.writes++;
    if (index == g_usbSim.writeFaultAt && !g_usbSim.writeFaultShort) {
        return 0;
    }
    // A short write leaves its last byte unsent, as a pipe stalled mid-transfer does.
    const uint32_t sent = index == g_usbSim.writeFaultAt && count > 0 ? count - 1 : count;
    if (IsInstrumentPipe(h, 0)) {
        // A data packet comes in three writes: the instrument frames them as a stream.
        Clock::time_point now = Clock::now();
        VirtualInstrumentFeed((const unsigned char*)buffer, (int)sent);
        CollectRepliesLocked(now);
    }
    *done = sent;
    return 1;
}

void UsbDriverClose(UsbHandle handle) {
    std::lock_guard<std::mutex> hold(g_usbSim.lock);
    SimHandle* h = FindHandleLocked(handle);
    if (h == nullptr) {
        g_usbSim.badHandleUses++;
        return;
    }
    h->value = 0;
}
