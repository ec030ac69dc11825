#include "sim/pty_instrument_server.h"

#include "platform/platform_poll.h"
#include "platform/platform_thread.h"
#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "transports/serial_port_os.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace {

// How long the server waits for bytes, or sleeps towards a reply's time, before it looks
// whether it is asked to stop.
const int kSliceMs = 20;

struct PtyServer {
    PtyServerSettings settings;
    int line;
    int slave; // a pseudo-terminal's far side, kept open so the line stays up while the
               // updater closes and reopens it
    PlatformThread thread;
    std::atomic<int> stop;
    PtyServerEnd end;
    int shown; // messages handed to showMessage so far
    unsigned char bytes[4096];
    unsigned char message[VI_MAX_MESSAGE];
    unsigned char reply[VI_MAX_REPLY];
};

PtyServer g_ptyInstrumentServer = {{}, -1, -1, PLATFORM_THREAD_NONE, {0}, PTY_SERVER_STOPPED, 0,
                                   {}, {}, {}};

int Stopping(void) {
    return g_ptyInstrumentServer.stop.load();
}

// Sleeps until the monotonic clock reaches dueUs, or the server is asked to stop.
void SleepUntil(uint64_t dueUs) {
    while (!Stopping()) {
        int left = PlatformTimeLeftMs(dueUs);
        if (left == 0) {
            return;
        }
        PlatformSleep((uint32_t)(left < kSliceMs ? left : kSliceMs));
    }
}

// The whole reply within the bound the serial functions give a write; the line is
// non-blocking, so a reader that stopped reading cannot hold the server for good. 0 when it
// cannot be written, or the server is asked to stop first.
int WriteReply(int line, const unsigned char* bytes, int length) {
    const uint64_t deadline = PlatformDeadlineAfterMs(SERIAL_IO_TIMEOUT_MS);
    int done = 0;
    while (done < length) {
        if (Stopping()) {
            return 0;
        }
        ssize_t n = write(line, bytes + done, (size_t)(length - done));
        if (n > 0) {
            done += (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if ((n < 0 && errno != EAGAIN) || PlatformTimeLeftMs(deadline) == 0) {
            return 0;
        }
        const uint64_t slice = PlatformDeadlineAfterMs(kSliceMs);
        struct pollfd waitFor = {line, POLLOUT, 0};
        int ready = PlatformPollUntil(&waitFor, 1, slice < deadline ? slice : deadline);
        if (ready < 0 || (ready > 0 && (waitFor.revents & POLLOUT) == 0)) {
            return 0; // hang-up or error with bytes still unsent
        }
    }
    return 1;
}

// Hands the messages the instrument received since the last call to showMessage.
void ShowMessages(void) {
    PtyServer& s = g_ptyInstrumentServer;
    for (int count = VirtualInstrumentMessageCount(); s.shown < count; s.shown++) {
        int length = VirtualInstrumentMessage(s.shown, s.message, sizeof s.message);
        s.settings.showMessage(s.message, length);
    }
}

PtyServerEnd Serve(void) {
    PtyServer& s = g_ptyInstrumentServer;
    const uint64_t idleUs = (uint64_t)s.settings.exitAfterIdleMs * 1000u;
    // The idle time counts from the last byte, never from the start: an updater that is
    // slow to start (a Windows program under Wine) must still find the instrument.
    int used = 0;
    uint64_t lastActivity = 0;
    while (!Stopping()) {
        if (idleUs > 0 && used && PlatformMonotonicUs() - lastActivity >= idleUs) {
            return PTY_SERVER_STOPPED;
        }
        struct pollfd waitFor = {s.line, POLLIN, 0};
        int ready = PlatformPollUntil(&waitFor, 1, PlatformDeadlineAfterMs(kSliceMs));
        if (ready < 0) {
            return PTY_SERVER_READ_FAILED;
        }
        if (ready == 0) {
            continue;
        }
        ssize_t n = read(s.line, s.bytes, sizeof s.bytes);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return PTY_SERVER_READ_FAILED;
        }
        const uint64_t requestTime = PlatformMonotonicUs();
        used = 1;
        VirtualInstrumentFeed(s.bytes, (int)n);
        if (s.settings.showMessage != nullptr) {
            ShowMessages();
        }
        uint32_t delayMs = 0;
        int length;
        while (!Stopping() &&
               (length = VirtualInstrumentTakeReply(s.reply, sizeof s.reply, &delayMs)) > 0) {
            SleepUntil(requestTime + (uint64_t)delayMs * 1000u);
            if (!WriteReply(s.line, s.reply, length)) {
                return Stopping() ? PTY_SERVER_STOPPED : PTY_SERVER_WRITE_FAILED;
            }
            if (s.settings.showReply != nullptr) {
                s.settings.showReply(s.reply, length);
            }
        }
        lastActivity = PlatformMonotonicUs();
    }
    return PTY_SERVER_STOPPED;
}

void ServeThread(void) {
    g_ptyInstrumentServer.end = Serve();
}

// Raw at the rate from the start: a line in the terminal's cooked mode would echo the
// updater's first bytes back to it before the transport sets its own line settings.
int SetLine(int fd, int baudRate) {
    return SerialOsGetLineSettings((SerialHandle)fd) &&
           SerialOsSetLineSettings((SerialHandle)fd, baudRate);
}

int OpenPseudoTerminal(int baudRate, char* path) {
    PtyServer& s = g_ptyInstrumentServer;
    s.line = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s.line < 0 || grantpt(s.line) != 0 || unlockpt(s.line) != 0 ||
        ptsname_r(s.line, path, PATH_SIZE) != 0) {
        return 0;
    }
    fcntl(s.line, F_SETFL, fcntl(s.line, F_GETFL) | O_NONBLOCK);
    s.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    return s.slave >= 0 && SetLine(s.slave, baudRate);
}

int OpenDevice(const char* device, int baudRate, char* path) {
    PtyServer& s = g_ptyInstrumentServer;
    TextCopy(path, PATH_SIZE, device);
    s.line = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return s.line >= 0 && SetLine(s.line, baudRate);
}

} // namespace

int PtyServerOpen(const PtyServerSettings* settings, char* path) {
    PtyServerClose();
    PtyServer& s = g_ptyInstrumentServer;
    // Here rather than at the start, so that a stop asked for in between is not lost.
    s.stop.store(0);
    s.settings = *settings;
    s.shown = 0;
    s.end = PTY_SERVER_STOPPED;
    const char* device = settings->device;
    int opened = device != nullptr && device[0] != '\0'
                     ? OpenDevice(device, settings->baudRate, path)
                     : OpenPseudoTerminal(settings->baudRate, path);
    if (!opened) {
        PtyServerClose();
    }
    return opened;
}

int PtyServerStart(void) {
    PtyServer& s = g_ptyInstrumentServer;
    if (s.line < 0 || s.thread != PLATFORM_THREAD_NONE) {
        return 0;
    }
    s.thread = PlatformThreadStart(ServeThread, PLATFORM_THREAD_NORMAL);
    return s.thread != PLATFORM_THREAD_NONE;
}

void PtyServerRequestStop(void) {
    g_ptyInstrumentServer.stop.store(1);
}

PtyServerEnd PtyServerWait(void) {
    PtyServer& s = g_ptyInstrumentServer;
    if (s.thread != PLATFORM_THREAD_NONE) {
        PlatformThreadWait(s.thread);
        PlatformThreadClose(&s.thread);
    }
    return s.end;
}

void PtyServerClose(void) {
    PtyServer& s = g_ptyInstrumentServer;
    PtyServerRequestStop();
    PtyServerWait();
    if (s.slave >= 0) {
        close(s.slave);
        s.slave = -1;
    }
    if (s.line >= 0) {
        close(s.line);
        s.line = -1;
    }
}
