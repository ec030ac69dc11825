#include "cli/rehearsal.h"

#include "platform/text.h"
#include "transports/serial_port_os.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

const int kPollMs = 20;
// A window below 64 KiB would not hold even a small sample's blocks.
const uint64_t kFlashSizeMin = 64u * 1024u;

struct Rehearsal {
    int master;
    int slave; // kept open so the line stays up while the updater closes and reopens it
    pthread_t thread;
    bool running;
};

Rehearsal s_rehearsal = {-1, -1, {}, false};
std::atomic<int> s_stop{0};

uint64_t NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

void SleepUntil(uint64_t dueMs) {
    while (!s_stop.load()) {
        uint64_t now = NowMs();
        if (now >= dueMs) {
            return;
        }
        uint64_t step = dueMs - now < (uint64_t)kPollMs ? dueMs - now : (uint64_t)kPollMs;
        struct timespec pause = {0, (long)step * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

// The whole reply or nothing more: the master end is non-blocking.
void WriteAll(int fd, const unsigned char* bytes, int length) {
    int done = 0;
    while (done < length && !s_stop.load()) {
        ssize_t n = write(fd, bytes + done, (size_t)(length - done));
        if (n > 0) {
            done += (int)n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd waitFor = {fd, POLLOUT, 0};
            poll(&waitFor, 1, kPollMs);
        } else {
            return;
        }
    }
}

void* Serve(void*) {
    static unsigned char reply[VI_MAX_REPLY];
    const int line = s_rehearsal.master;
    while (!s_stop.load()) {
        struct pollfd waitFor = {line, POLLIN, 0};
        if (poll(&waitFor, 1, kPollMs) <= 0) {
            continue;
        }
        unsigned char bytes[4096];
        ssize_t n = read(line, bytes, sizeof bytes);
        if (n <= 0) {
            continue;
        }
        const uint64_t requestTime = NowMs();
        VirtualInstrumentFeed(bytes, (int)n);
        uint32_t delayMs = 0;
        int length;
        while (!s_stop.load() &&
               (length = VirtualInstrumentTakeReply(reply, sizeof reply, &delayMs)) > 0) {
            SleepUntil(requestTime + delayMs);
            WriteAll(line, reply, length);
        }
    }
    return nullptr;
}

int Fail(const char* text, char* errorText) {
    TextCopy(errorText, TEXT_SIZE, text);
    RehearsalStop();
    return 0;
}

} // namespace

void RehearsalConfigForFile(const std::vector<SystemFileHeader>& blocks,
                            VirtualInstrumentConfig* config) {
    VirtualInstrumentDefaultConfig(config);
    if (blocks.empty()) {
        return;
    }
    for (int i = 0; i < 3; i++) {
        config->productId[i] = blocks[0].productId[i];
    }
    config->memberId = blocks[0].memberId;
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;
    for (const SystemFileHeader& h : blocks) {
        config->blockAddress[h.blockCode] = h.address;
        config->blockDataSize[h.blockCode] = h.dataSize;
        const uint64_t start = (uint64_t)h.address + h.offset;
        const uint64_t end = start + h.dataSize;
        low = (uint64_t)h.address < low ? (uint64_t)h.address : low;
        high = end > high ? end : high;
    }
    uint64_t size = high - low < kFlashSizeMin ? kFlashSizeMin : high - low;
    // The instrument's window is 32-bit; a file beyond it finds its writes refused.
    if (low + size > 0xFFFFFFFFull) {
        size = 0xFFFFFFFFull - low;
    }
    config->flashBase = (uint32_t)low;
    config->flashSize = (uint32_t)size;
}

int RehearsalStart(const VirtualInstrumentConfig* config, char* devicePath, char* errorText) {
    RehearsalStop();
    VirtualInstrumentReset(config);
    Rehearsal& r = s_rehearsal;
    r.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = nullptr;
    if (r.master < 0 || grantpt(r.master) != 0 || unlockpt(r.master) != 0 ||
        (name = ptsname(r.master)) == nullptr) {
        return Fail("No pseudo-terminal for the rehearsal", errorText);
    }
    TextCopy(devicePath, PATH_SIZE, name);
    fcntl(r.master, F_SETFL, fcntl(r.master, F_GETFL) | O_NONBLOCK);
    // Raw from the start: a line in the terminal's cooked mode would echo the updater's
    // first bytes back to it before the transport sets its own line settings.
    r.slave = open(devicePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (r.slave < 0 || !SerialOsGetLineSettings((SerialHandle)r.slave) ||
        !SerialOsSetLineSettings((SerialHandle)r.slave, 38400)) {
        return Fail("No pseudo-terminal for the rehearsal", errorText);
    }
    s_stop.store(0);
    if (pthread_create(&r.thread, nullptr, Serve, nullptr) != 0) {
        return Fail("No thread for the rehearsal", errorText);
    }
    r.running = true;
    return 1;
}

void RehearsalStop(void) {
    Rehearsal& r = s_rehearsal;
    if (r.running) {
        s_stop.store(1);
        pthread_join(r.thread, nullptr);
        r.running = false;
    }
    if (r.slave >= 0) {
        close(r.slave);
        r.slave = -1;
    }
    if (r.master >= 0) {
        close(r.master);
        r.master = -1;
    }
}
