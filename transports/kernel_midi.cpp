// The kernel USB-MIDI driver transport: device 0's pipes, a reader thread that moves
// 64-byte blocks from the IN pipe into a ring, messages sent and assembled as USB-MIDI
// event packets.
#include "transports/kernel_midi.h"
#include "transports/kernel_midi_testing.h"

#include "platform/platform_thread.h"
#include "platform/text.h"
#include "transports/kernel_midi_driver.h"
#include "transports/kernel_midi_packets.h"
#include "transports/sysex.h"

#include <atomic>
#include <cstring>

#define DEVICE_NAME_FORMAT "\\\\.\\VMPRT%d"
#define PIPE_NAME_FORMAT "\\P%02X"
// The transport opens device 0; the scan only counts the others.
#define OPENED_DEVICE 0
#define PIPE_IN 0x91
#define PIPE_OUT 0x11
#define WRITE_BUFFER_SIZE 256
#define PACKETS_PER_BLOCK (KERNEL_MIDI_BLOCK_SIZE / KERNEL_MIDI_PACKET_SIZE)
#define POLL_INTERVAL_US 2000
#define DEFAULT_POLL_LIMIT 5000
#define STOP_TRIES 200
#define STOP_TRY_MS 5

namespace {

struct KernelMidiTransport {
    int opened;
    KernelMidiHandle inPipe;
    KernelMidiHandle outPipe;
    PlatformThread readerThread;
    PlatformMutex ringLock;
    unsigned char ring[KERNEL_MIDI_RING_SIZE];
    int writePos;
    int readPos;
    int available;
    int pollLimit;
    // The reader has no other way out of a blocked read than a cancelled one; these tell
    // it to stop and tell the closer it has.
    std::atomic<int> stopReader;
    std::atomic<int> readerRunning;

    int lastCount;
    int firstNumber;
    KernelMidiDevice deviceList[KERNEL_MIDI_MAX_DEVICES];
};

KernelMidiTransport g_kernelMidi = {0,
                                    KERNEL_MIDI_NO_HANDLE,
                                    KERNEL_MIDI_NO_HANDLE,
                                    PLATFORM_THREAD_NONE,
                                    {},
                                    {},
                                    0,
                                    0,
                                    0,
                                    DEFAULT_POLL_LIMIT,
                                    {0},
                                    {0},
                                    -1,
                                    0,
                                    {}};

void DeviceName(char* name, size_t size, int number) {
    TextFormat(name, size, DEVICE_NAME_FORMAT, number);
}

// The user's stop, from the main window's thread; cleared when the driver is opened.
std::atomic<int> s_receiveAborted{0};

// Signalled by the reader for each block it puts in the ring and by an abort, so that a
// waiting receive wakes at once rather than at its next poll. Made by the first open and
// kept for the life of the process: a reader that outlived its close may still signal.
PlatformEvent s_blockArrived;
std::atomic<int> s_blockArrivedMade{0};

void WakeReceiver(void) {
    if (s_blockArrivedMade.load(std::memory_order_acquire)) {
        PlatformEventSignal(&s_blockArrived);
    }
}

KernelMidiHandle OpenPipe(int pipe) {
    char name[PATH_SIZE];
    char pipeName[16];
    DeviceName(name, sizeof name, OPENED_DEVICE);
    TextFormat(pipeName, sizeof pipeName, PIPE_NAME_FORMAT, pipe);
    TextAppend(name, sizeof name, pipeName);
    return KernelMidiDriverOpen(name);
}

int NextPos(int pos) {
    pos += KERNEL_MIDI_BLOCK_SIZE;
    return pos >= KERNEL_MIDI_RING_SIZE ? 0 : pos;
}

void KernelMidiReaderThread(void) {
    KernelMidiTransport& k = g_kernelMidi;
    // The pipe as the open left it: a reader that outlives its close must not read the
    // handle fields the close and the next open write.
    const KernelMidiHandle inPipe = k.inPipe;
    // Read into a block of our own and copy it in under the lock: when the ring is full
    // the slot at writePos is the one the receiver would take next.
    unsigned char block[KERNEL_MIDI_BLOCK_SIZE];
    while (!k.stopReader.load()) {
        int got = KernelMidiDriverRead(inPipe, block, KERNEL_MIDI_BLOCK_SIZE);
        if (k.stopReader.load()) {
            break;
        }
        if (got != KERNEL_MIDI_BLOCK_SIZE) {
            // A pipe that fails at once (instrument unplugged) must not spin a core.
            PlatformSleep(1);
            continue;
        }
        PlatformMutexLock(&k.ringLock);
        memcpy(k.ring + k.writePos, block, KERNEL_MIDI_BLOCK_SIZE);
        k.writePos = NextPos(k.writePos);
        if (k.available < KERNEL_MIDI_RING_SIZE) {
            k.available += KERNEL_MIDI_BLOCK_SIZE;
        } else {
            // The receiver is 64 blocks behind: the oldest block was just overwritten,
            // so the next one to take is the oldest that is left.
            k.readPos = k.writePos;
        }
        PlatformMutexUnlock(&k.ringLock);
        WakeReceiver();
    }
    k.readerRunning.store(0);
}

// Like KernelMidiReadBlock, but a block whose first packet is empty carries nothing.
int TakeMessageBlock(unsigned char* block) {
    static const unsigned char kEmpty[KERNEL_MIDI_PACKET_SIZE] = {0, 0, 0, 0};
    do {
        int result = KernelMidiReadBlock(block);
        if (result != 1) {
            return result;
        }
    } while (memcmp(block, kEmpty, KERNEL_MIDI_PACKET_SIZE) == 0);
    return 1;
}

// Releases the reader thread once it has ended, and ends it where it stands when it has
// not (a reader stuck in a driver that ignores the cancel; it holds no lock while it
// reads). 1 when it is gone, its handle closed and the ring lock deleted; 0 when even the
// forced stop failed: it then keeps its handle and the lock, and as stopReader stays set
// it touches nothing else whenever its read returns.
int ReapReader(void) {
    KernelMidiTransport& k = g_kernelMidi;
    if (k.readerThread == PLATFORM_THREAD_NONE) {
        return 1;
    }
    if (k.readerRunning.load()) {
        if (!PlatformThreadTerminate(k.readerThread)) {
            return 0;
        }
        k.readerRunning.store(0);
    } else {
        PlatformThreadWait(k.readerThread);
    }
    PlatformThreadClose(&k.readerThread);
    PlatformMutexDelete(&k.ringLock);
    return 1;
}

void InstanceNumberFor(int n) {
    KernelMidiDevice& entry = g_kernelMidi.deviceList[n];
    if (entry.instanceNumber != 0) {
        return;
    }
    entry.instanceNumber = 1;
    for (int below = n - 1; below >= 0; below--) {
        const KernelMidiDevice& other = g_kernelMidi.deviceList[below];
        if (other.instanceNumber != 0 && other.deviceId == entry.deviceId) {
            entry.instanceNumber = other.instanceNumber + 1;
            return;
        }
    }
}

} // namespace

int KernelMidiScanDevices(int* count) {
    KernelMidiTransport& k = g_kernelMidi;
    int result = 0;
    int queryAnswered = 0;
    int start;
    if (k.lastCount == -1) {
        // The first scan of the process counts as a change without asking the driver.
        k.lastCount = 0;
        result = 1;
        queryAnswered = 1;
        start = k.firstNumber;
    } else if (k.lastCount == 0) {
        k.firstNumber = 0;
        start = 0;
    } else {
        start = k.firstNumber;
    }

    int found = 0;
    for (int n = start; n < KERNEL_MIDI_MAX_DEVICES; n++) {
        char name[PATH_SIZE];
        DeviceName(name, sizeof name, n);
        KernelMidiHandle device = KernelMidiDriverOpen(name);
        if (device == KERNEL_MIDI_NO_HANDLE) {
            continue;
        }
        if (!queryAnswered) {
            uint32_t changed = 0;
            KernelMidiDriverRequest(device, IOCTL_KMIDI_CHANGE_QUERY, &changed);
            result = changed != 0;
            queryAnswered = 1;
        }
        uint32_t id = 0;
        KernelMidiDriverRequest(device, IOCTL_KMIDI_GET_DEVICE_ID, &id);
        KernelMidiDriverClose(device);
        if (result == 0) {
            *count = k.lastCount;
            return 0;
        }
        if (found == 0) {
            k.firstNumber = n;
        }
        k.deviceList[n].deviceId = (int32_t)id;
        k.deviceList[n].deviceNumber = n;
        InstanceNumberFor(n);
        found++;
    }
    if (found != k.lastCount) {
        result = 1;
    }
    *count = found;
    k.lastCount = found;
    return result;
}

int KernelMidiGetDevice(int number, KernelMidiDevice* out) {
    if (number < 0 || number >= KERNEL_MIDI_MAX_DEVICES) {
        return 0;
    }
    *out = g_kernelMidi.deviceList[number];
    return 1;
}

void KernelMidiScanReset(void) {
    g_kernelMidi.lastCount = -1;
    g_kernelMidi.firstNumber = 0;
    memset(g_kernelMidi.deviceList, 0, sizeof g_kernelMidi.deviceList);
}

int KernelMidiOpen(char* errorText) {
    KernelMidiTransport& k = g_kernelMidi;
    KernelMidiClose();
    s_receiveAborted.store(0);
    if (!s_blockArrivedMade.load()) {
        PlatformEventInit(&s_blockArrived);
        s_blockArrivedMade.store(1, std::memory_order_release);
    }
    // A reader that outlived its close still owns the ring: try once more to end it, and
    // say so when that fails rather than blame the driver.
    if (!ReapReader()) {
        TextCopy(errorText, PATH_SIZE, " MIDI-IN reader thread is still running.\n");
        return 0;
    }
    char name[PATH_SIZE];
    DeviceName(name, sizeof name, OPENED_DEVICE);
    KernelMidiHandle device = KernelMidiDriverOpen(name);
    if (device == KERNEL_MIDI_NO_HANDLE) {
        TextCopy(errorText, PATH_SIZE, " Kernel MIDI driver open error.\n");
        return 0;
    }
    KernelMidiDriverClose(device);

    int count = 0;
    KernelMidiScanDevices(&count);
    if (count == 0) {
        TextCopy(errorText, PATH_SIZE, " No device is connected\n");
        return 0;
    }
    KernelMidiHandle inPipe = OpenPipe(PIPE_IN);
    if (inPipe == KERNEL_MIDI_NO_HANDLE) {
        TextCopy(errorText, PATH_SIZE, " MIDI-IN pipe open error.\n");
        return 0;
    }
    KernelMidiHandle outPipe = OpenPipe(PIPE_OUT);
    if (outPipe == KERNEL_MIDI_NO_HANDLE) {
        KernelMidiDriverClose(inPipe);
        TextCopy(errorText, PATH_SIZE, " MIDI-OUT pipe open error.\n");
        return 0;
    }

    PlatformMutexInit(&k.ringLock);
    k.readPos = k.writePos = k.available = 0;
    k.inPipe = inPipe;
    k.outPipe = outPipe;
    k.stopReader.store(0);
    k.readerRunning.store(1);
    k.readerThread = PlatformThreadStart(KernelMidiReaderThread, PLATFORM_THREAD_NORMAL);
    if (k.readerThread == PLATFORM_THREAD_NONE) {
        k.readerRunning.store(0);
        PlatformMutexDelete(&k.ringLock);
        KernelMidiDriverClose(outPipe);
        KernelMidiDriverClose(inPipe);
        k.inPipe = k.outPipe = KERNEL_MIDI_NO_HANDLE;
        TextCopy(errorText, PATH_SIZE, " MIDI-IN reader thread start error.\n");
        return 0;
    }
    PlatformSleep(20);
    k.opened = 1;
    return 1;
}

void KernelMidiClose(void) {
    KernelMidiTransport& k = g_kernelMidi;
    if (!k.opened) {
        return;
    }
    k.stopReader.store(1);
    // A cancel can come just before the reader enters its read; try again until it is
    // out, for a bounded time, before it is stopped by force.
    for (int i = 0; i < STOP_TRIES && k.readerRunning.load(); i++) {
        KernelMidiDriverCancelRead(k.inPipe);
        PlatformSleep(STOP_TRY_MS);
    }
    ReapReader();
    KernelMidiDriverClose(k.outPipe);
    KernelMidiDriverClose(k.inPipe);
    k.outPipe = k.inPipe = KERNEL_MIDI_NO_HANDLE;
    k.opened = 0;
}

int KernelMidiAvailable(void) {
    KernelMidiTransport& k = g_kernelMidi;
    if (!k.opened) {
        return 0;
    }
    PlatformMutexLock(&k.ringLock);
    int available = k.available;
    PlatformMutexUnlock(&k.ringLock);
    return available;
}

void KernelMidiSetPollLimit(int polls) {
    g_kernelMidi.pollLimit = polls;
}

int KernelMidiReadBlock(unsigned char* block) {
    KernelMidiTransport& k = g_kernelMidi;
    if (!k.opened) {
        return 0;
    }
    // The polls count elapsed time in 2 ms; the wait between them ends early
    // when a block arrives or the receive is aborted.
    // One microsecond late, so that the clock's rounding never makes the limit early.
    const uint64_t start = PlatformMonotonicUs() + 1;
    for (;;) {
        if (s_receiveAborted.load()) {
            return -2;
        }
        PlatformMutexLock(&k.ringLock);
        if (k.available > 0) {
            memcpy(block, k.ring + k.readPos, KERNEL_MIDI_BLOCK_SIZE);
            k.available -= KERNEL_MIDI_BLOCK_SIZE;
            k.readPos = NextPos(k.readPos);
            PlatformMutexUnlock(&k.ringLock);
            return 1;
        }
        PlatformMutexUnlock(&k.ringLock);
        const uint64_t now = PlatformMonotonicUs();
        const uint64_t elapsed = now > start ? now - start : 0;
        const uint64_t polls = elapsed / POLL_INTERVAL_US;
        if (polls >= (uint64_t)(k.pollLimit > 0 ? k.pollLimit : 0)) {
            return 0;
        }
        const uint64_t nextPoll = (polls + 1) * POLL_INTERVAL_US;
        PlatformEventWait(&s_blockArrived, (uint32_t)((nextPoll - elapsed + 999) / 1000));
    }
}

void KernelMidiAbortReceive(void) {
    s_receiveAborted.store(1);
    WakeReceiver();
}

int KernelMidiWriteRaw(const unsigned char* bytes, int length) {
    if (g_kernelMidi.outPipe == KERNEL_MIDI_NO_HANDLE || bytes == nullptr || length < 0) {
        return 0;
    }
    return KernelMidiDriverWrite(g_kernelMidi.outPipe, bytes, length) >= length;
}

int KernelMidiSend(const unsigned char* bytes, int length, int endMarker) {
    if (bytes == nullptr || length < 1) {
        return 0;
    }
    unsigned char buffer[WRITE_BUFFER_SIZE];
    int used = 0;
    int pos = 0;
    for (;;) {
        int ends = 0;
        pos += KernelMidiEncodePacket(bytes + pos, length - pos, buffer + used, &ends);
        used += KERNEL_MIDI_PACKET_SIZE;
        if (ends) {
            if (endMarker && used < WRITE_BUFFER_SIZE) {
                memcpy(buffer + used, KernelMidiEndMarker, KERNEL_MIDI_PACKET_SIZE);
                used += KERNEL_MIDI_PACKET_SIZE;
            }
            return KernelMidiWriteRaw(buffer, used);
        }
        if (used == WRITE_BUFFER_SIZE) {
            if (!KernelMidiWriteRaw(buffer, used)) {
                return 0;
            }
            used = 0;
        }
    }
}

int KernelMidiReceive(unsigned char* buffer, int capacity) {
    if (buffer == nullptr || capacity < 1) {
        return 0;
    }
    unsigned char block[KERNEL_MIDI_BLOCK_SIZE];
    int taken = TakeMessageBlock(block);
    if (taken != 1) {
        return taken;
    }
    int count = 0;
    int packet = 0;
    for (;;) {
        if (packet == PACKETS_PER_BLOCK) {
            taken = TakeMessageBlock(block);
            if (taken != 1) {
                return taken;
            }
            packet = 0;
        }
        const unsigned char* p = block + packet * KERNEL_MIDI_PACKET_SIZE;
        packet++;
        int ends = 0;
        int n = KernelMidiPacketByteCount(p[0], &ends);
        if (n == 0) {
            return 0;
        }
        for (int i = 1; i <= n; i++) {
            buffer[count++] = p[i];
            if (p[i] == SYSEX_END || count >= capacity) {
                return 1;
            }
        }
        if (ends) {
            return 1;
        }
    }
}
