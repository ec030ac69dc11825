// The automatic port detection on the Windows multimedia MIDI service.
#include "midi/midi_port_scan.h"
#include "midi/midi_port_scan_testing.h"

#include "midi/midi_memory_win32.h"
#include "midi/midi_port_names.h"
#include "platform/text.h"
#include "resources/resource_ids.h"
#include "transports/sysex.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstring>

namespace {

#define SCAN_NONE (-1)

// A MIDIHDR and its data buffer, both locked for as long as a port may use them.
struct ScanPair {
    MidiBlock header;
    MidiBlock buffer;
};

struct ScanInput {
    HMIDIIN port;
    ScanPair pair;
};

struct MidiPortScan {
    HWND mainWindow;
    unsigned char productId[3];
    MidiPortScanProtocol protocol;
    int requestLength;
    std::atomic<int> foundInput;
    std::atomic<int> foundOutput;
    int inputCount;
    int outputCount;
    // Read by the input callbacks on the service's threads; see MidiPortScanFinish for
    // how long the slots last.
    std::atomic<ScanInput*> inputs;
    HMIDIOUT requestPort;
    ScanPair request;
    HANDLE requestDone;
};

MidiPortScan g_midiPortScan = {
    NULL, {0, 0, 0}, {nullptr, nullptr}, 0, {SCAN_NONE}, {SCAN_NONE}, 0, 0, {NULL}, NULL, {}, NULL};

const MidiMemoryFunctions kSystemMemory = {GlobalAlloc, GlobalLock, GlobalUnlock, GlobalFree};
MidiMemoryFunctions s_memory = kSystemMemory;

void* HeapSlotsAlloc(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void HeapSlotsRelease(void* slots) {
    HeapFree(GetProcessHeap(), 0, slots);
}

const MidiScanSlotFunctions kProcessHeap = {HeapSlotsAlloc, HeapSlotsRelease};
MidiScanSlotFunctions s_slots = kProcessHeap;

MIDIHDR* PairHeader(const ScanPair* pair) {
    return static_cast<MIDIHDR*>(pair->header.address);
}

// The service updates the flags from its own thread while a header is queued.
DWORD HeaderFlags(const MIDIHDR* header) {
    return *reinterpret_cast<const volatile DWORD*>(&header->dwFlags);
}

unsigned char* PairBuffer(const ScanPair* pair) {
    return static_cast<unsigned char*>(pair->buffer.address);
}

int AllocBlock(MidiBlock* block, SIZE_T size, const char* allocText, const char* lockText,
               char* errorText) {
    return MidiBlockAlloc(&s_memory, block, size, allocText, lockText, errorText, TEXT_SIZE);
}

void ReleaseBlock(MidiBlock* block) {
    MidiBlockRelease(&s_memory, block);
}

void ReleasePair(ScanPair* pair) {
    ReleaseBlock(&pair->buffer);
    ReleaseBlock(&pair->header);
}

// Header first, then buffer; a pair that fails gives back what it had got.
int AllocPair(ScanPair* pair, DWORD bufferSize, char* errorText) {
    if (!AllocBlock(&pair->header, sizeof(MIDIHDR), "Not Enough Memory(Alloc MIDIHDR)",
                    "Not Enough Memory(Lock MIDIHDR)", errorText) ||
        !AllocBlock(&pair->buffer, bufferSize, "Not Enough Memory(Alloc Exclusive Buffer)",
                    "Not Enough Memory(Lock Exclusive Buffer)", errorText)) {
        ReleasePair(pair);
        return 0;
    }
    MIDIHDR* header = PairHeader(pair);
    header->lpData = static_cast<LPSTR>(pair->buffer.address);
    header->dwBufferLength = bufferSize;
    return 1;
}

// Names a found port (TEXT_SIZE bytes; empty when the service cannot describe it). 1 when
// the maker's driver serves it.
int ReadFoundPort(int direction, int device, char* name, MidiPortInfo* port) {
    name[0] = '\0';
    if (!MidiPortRead(direction, (unsigned)device, MIDI_PORTS_ALL, port)) {
        return 0;
    }
    TextCopy(name, TEXT_SIZE, port->name);
    return port->manufacturer == MAVO_MANUFACTURER_ID;
}

MMRESULT CloseInput(void* port) {
    return midiInClose(static_cast<HMIDIIN>(port));
}

MMRESULT ResetInput(void* port) {
    return midiInReset(static_cast<HMIDIIN>(port));
}

MMRESULT CloseOutput(void* port) {
    return midiOutClose(static_cast<HMIDIOUT>(port));
}

MMRESULT ResetOutput(void* port) {
    return midiOutReset(static_cast<HMIDIOUT>(port));
}

// 1 when the port closed. The service refuses while it still holds a buffer of the port:
// a reset hands it back, and the close is tried again in short sleeps. A driver that
// keeps its buffer all the same would hold the main thread for good; after about a
// second the port is given up, and 0 tells the caller that the blocks the port holds
// are the driver's now, not to be released under it.
int CloseWithinBound(MMRESULT (*close)(void*), MMRESULT (*reset)(void*), void* port) {
    for (int attempt = 1; close(port) == MIDIERR_STILLPLAYING; attempt++) {
        if (attempt >= MIDI_PORT_SCAN_CLOSE_ATTEMPTS) {
            return 0;
        }
        if (attempt == 1) {
            reset(port);
        }
        Sleep(10);
    }
    return 1;
}

// The request pair and event stay with an output port that could not be closed: the
// ports after it get new ones with the same inquiry. 0 when none can be had.
int ReplaceRequest(void) {
    MidiPortScan& s = g_midiPortScan;
    const unsigned char* kept = PairBuffer(&s.request);
    s.request = ScanPair();
    s.requestDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    char ignored[TEXT_SIZE];
    if (s.requestDone == NULL || !AllocPair(&s.request, MIDI_PORT_SCAN_REQUEST_SIZE, ignored)) {
        return 0;
    }
    memcpy(PairBuffer(&s.request), kept, (size_t)s.requestLength);
    PairHeader(&s.request)->dwBufferLength = (DWORD)s.requestLength;
    return 1;
}

// The event says only that something happened on the port: its open and close
// notifications signal it as well, and may come late. The header's done flag says
// whether the inquiry has left. 1 when it did within MIDI_PORT_SCAN_SEND_WAIT_MS.
int WaitUntilSent(const MIDIHDR* header) {
    const DWORD start = GetTickCount();
    for (;;) {
        ResetEvent(g_midiPortScan.requestDone);
        if (HeaderFlags(header) & MHDR_DONE) {
            return 1;
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= MIDI_PORT_SCAN_SEND_WAIT_MS) {
            return 0;
        }
        WaitForSingleObject(g_midiPortScan.requestDone, MIDI_PORT_SCAN_SEND_WAIT_MS - spent);
    }
}

void OpenAndListen(int device) {
    MidiPortScan& s = g_midiPortScan;
    ScanInput* entry = &s.inputs.load()[device];
    // A port the service cannot describe has no name to leave it out by, and listens.
    MidiPortInfo port;
    MidiPortRead(MIDI_PORT_INPUT, (unsigned)device, MIDI_PORTS_ALL, &port);
    if (IsVirtualCablePort(port.name)) {
        return;
    }
    char ignored[TEXT_SIZE];
    if (!AllocPair(&entry->pair, MIDI_PORT_SCAN_INPUT_SIZE, ignored)) {
        return;
    }
    // Another program may hold the port for a moment (a driver still settling, a
    // sequencer closing it).
    for (int attempt = 1; attempt <= MIDI_PORT_SCAN_OPEN_ATTEMPTS; attempt++) {
        if (midiInOpen(&entry->port, (UINT)device, (DWORD_PTR)MidiScanCallback, (DWORD_PTR)device,
                       CALLBACK_FUNCTION) == MMSYSERR_NOERROR) {
            break;
        }
        entry->port = NULL;
        if (attempt < MIDI_PORT_SCAN_OPEN_ATTEMPTS) {
            Sleep(100);
        }
    }
    if (entry->port == NULL) {
        ReleasePair(&entry->pair);
        return;
    }
    MIDIHDR* header = PairHeader(&entry->pair);
    midiInReset(entry->port);
    header->dwBytesRecorded = 0;
    midiInPrepareHeader(entry->port, header, sizeof(MIDIHDR));
    if (midiInAddBuffer(entry->port, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR) {
        midiInStart(entry->port);
    }
}

// 0 when no further inquiry can be sent.
int SendInquiry(int device, int portByteAt) {
    MidiPortScan& s = g_midiPortScan;
    // Synthesizers included: the inquiry goes out on every output.
    MidiPortInfo port;
    MidiPortRead(MIDI_PORT_OUTPUT, (unsigned)device, MIDI_PORTS_ALL, &port);
    if (IsVirtualCablePort(port.name)) {
        return 1;
    }
    for (int attempt = 1; attempt <= MIDI_PORT_SCAN_OPEN_ATTEMPTS; attempt++) {
        if (midiOutOpen(&s.requestPort, (UINT)device, (DWORD_PTR)s.requestDone, 0,
                        CALLBACK_EVENT) == MMSYSERR_NOERROR) {
            break;
        }
        s.requestPort = NULL;
        if (attempt < MIDI_PORT_SCAN_OPEN_ATTEMPTS) {
            Sleep(100);
        }
    }
    if (s.requestPort == NULL) {
        return 1;
    }
    PairBuffer(&s.request)[portByteAt] = (unsigned char)(device & 0xFF);
    MIDIHDR* header = PairHeader(&s.request);
    if (midiOutPrepareHeader(s.requestPort, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR) {
        if (midiOutLongMsg(s.requestPort, header, sizeof(MIDIHDR)) == MMSYSERR_NOERROR &&
            !WaitUntilSent(header) && (HeaderFlags(header) & MHDR_INQUEUE)) {
            // A port that never finishes would keep the header. Reset only then: a reset
            // also sends note-off and sustain-off on every channel.
            midiOutReset(s.requestPort);
        }
        midiOutUnprepareHeader(s.requestPort, header, sizeof(MIDIHDR));
    }
    int closed = CloseWithinBound(CloseOutput, ResetOutput, s.requestPort);
    s.requestPort = NULL;
    return closed || ReplaceRequest();
}

} // namespace

void MidiPortScanSetMemoryFunctions(const MidiMemoryFunctions* functions) {
    s_memory = functions != NULL ? *functions : kSystemMemory;
}

void MidiPortScanSetSlotFunctions(const MidiScanSlotFunctions* functions) {
    s_slots = functions != NULL ? *functions : kProcessHeap;
}

int IsVirtualCablePort(const char* name) {
    return name != NULL && strstr(name, "MIDI Yoke") != NULL;
}

void CALLBACK MidiScanCallback(HMIDIIN port, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR param2) {
    (void)param1;
    (void)param2;
    MidiPortScan& s = g_midiPortScan;
    // Taken once: a finish may forget the slots at any moment.
    ScanInput* inputs = s.inputs.load();
    // A port that is no longer this detection's (one given up at a finish, whose driver
    // hands its buffer back late) has nothing to say to it.
    if (message != MIM_LONGDATA || inputs == NULL || instance >= (DWORD_PTR)s.inputCount ||
        inputs[instance].port != port) {
        return;
    }
    const ScanPair* pair = &inputs[instance].pair;
    const MIDIHDR* header = PairHeader(pair);
    // The length check comes first: it also keeps every read below inside the buffer.
    if (header == NULL || (int)header->dwBytesRecorded != s.requestLength) {
        return;
    }
    const int output = s.protocol.readReply(PairBuffer(pair), s.requestLength, s.productId);
    if (output < 0) {
        return;
    }
    // Replies may come on several ports at once: exactly one claims the detection, and
    // the output number is in place before the window hears of it.
    int none = SCAN_NONE;
    if (!s.foundInput.compare_exchange_strong(none, (int)instance)) {
        return;
    }
    s.foundOutput.store(output);
    if (s.mainWindow != NULL) {
        PostMessageA(s.mainWindow, WM_COMMAND, CMD_MIDI_PORT_FOUND, 0);
    }
}

int MidiPortScanStart(HWND mainWindow, const unsigned char* productIds,
                      const MidiPortScanProtocol* protocol) {
    MidiPortScan& s = g_midiPortScan;
    // A detection still listening would lose its ports and blocks to this one.
    MidiPortScanFinish(NULL, NULL, NULL, NULL);

    s.foundInput.store(SCAN_NONE);
    s.foundOutput.store(SCAN_NONE);
    memcpy(s.productId, productIds, sizeof s.productId);
    s.protocol = *protocol;
    s.mainWindow = mainWindow;

    char errorText[TEXT_SIZE];
    if (!AllocPair(&s.request, MIDI_PORT_SCAN_REQUEST_SIZE, errorText)) {
        MessageBoxA(mainWindow, errorText, NULL, MB_OK | MB_SETFOREGROUND);
        return 0;
    }
    s.requestDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    s.inputCount = (int)MidiPortCount(MIDI_PORT_INPUT);
    s.outputCount = (int)MidiPortCount(MIDI_PORT_OUTPUT);
    if (s.requestDone == NULL || s.inputCount == 0 || s.outputCount == 0) {
        MidiPortScanFinish(NULL, NULL, NULL, NULL);
        return 0;
    }
    s.inputs.store(
        static_cast<ScanInput*>(s_slots.alloc(sizeof(ScanInput) * (size_t)s.inputCount)));
    if (s.inputs.load() == NULL) {
        MidiPortScanFinish(NULL, NULL, NULL, NULL);
        return 0;
    }
    // The reply's length and framing are fixed before any port can deliver one.
    int portByteAt = 0;
    const int n = s.protocol.buildInquiry(PairBuffer(&s.request), s.productId, &portByteAt);
    s.requestLength = n;
    PairHeader(&s.request)->dwBufferLength = (DWORD)n;

    for (int device = 0; device < s.inputCount; device++) {
        OpenAndListen(device);
    }
    for (int device = 0; device < s.outputCount && SendInquiry(device, portByteAt); device++) {
    }
    return 1;
}

int MidiPortScanFinish(char* inName, char* outName, unsigned char* driverFlagsOut,
                       unsigned short* driverVersionOut) {
    MidiPortScan& s = g_midiPortScan;
    ScanInput* inputs = s.inputs.load();
    if (inputs != NULL) {
        int givenUp = 0;
        for (int i = s.inputCount - 1; i >= 0; i--) {
            ScanInput* entry = &inputs[i];
            int closed = 1;
            if (entry->port != NULL) {
                // Stopped and reset first, so the service hands the buffer back before
                // it is released.
                midiInStop(entry->port);
                midiInReset(entry->port);
                midiInUnprepareHeader(entry->port, PairHeader(&entry->pair), sizeof(MIDIHDR));
                closed = CloseWithinBound(CloseInput, ResetInput, entry->port);
                entry->port = NULL;
            }
            if (closed) {
                ReleasePair(&entry->pair);
            } else {
                givenUp = 1;
            }
        }
        s.inputs.store(NULL);
        // A closed port's callbacks are over. A port given up may still call back at any
        // time, its callback having taken the slots just before they were forgotten: then
        // they stay for the rest of the process, as that port's blocks stay with its driver.
        if (!givenUp) {
            s_slots.release(inputs);
        }
    }
    int requestClosed = 1;
    if (s.requestPort != NULL) {
        midiOutUnprepareHeader(s.requestPort, PairHeader(&s.request), sizeof(MIDIHDR));
        requestClosed = CloseWithinBound(CloseOutput, ResetOutput, s.requestPort);
        s.requestPort = NULL;
    }
    if (requestClosed) {
        ReleasePair(&s.request);
    }
    s.request = ScanPair();
    if (s.requestDone != NULL && requestClosed) {
        CloseHandle(s.requestDone);
    }
    s.requestDone = NULL;
    s.mainWindow = NULL;

    const int foundInput = s.foundInput.exchange(SCAN_NONE);
    const int foundOutput = s.foundOutput.exchange(SCAN_NONE);
    if (foundInput == SCAN_NONE || foundOutput == SCAN_NONE) {
        return 0;
    }

    unsigned char flags = 0;
    unsigned short version = 0;
    int haveVersion = 0;
    // The echoed output number is the instrument's word: a port that is gone leaves the
    // name empty, and opening it then fails with the usual text.
    MidiPortInfo port;
    if (inName != NULL && ReadFoundPort(MIDI_PORT_INPUT, foundInput, inName, &port)) {
        flags |= MIDI_DRIVER_FLAG_INPUT;
        if (port.product == MAVO_DRIVER_PRODUCT_ID) {
            version = (unsigned short)(port.driverVersion & 0xFFFF);
            haveVersion = 1;
        }
    }
    if (outName != NULL && ReadFoundPort(MIDI_PORT_OUTPUT, foundOutput, outName, &port)) {
        flags |= MIDI_DRIVER_FLAG_OUTPUT;
        if (port.product == MAVO_DRIVER_PRODUCT_ID && !haveVersion) {
            version = (unsigned short)(port.driverVersion & 0xFFFF);
        }
    }
    if (driverFlagsOut != NULL) {
        *driverFlagsOut = flags;
    }
    if (driverVersionOut != NULL) {
        *driverVersionOut = version;
    }
    return 1;
}

int MidiPortScanHasReply(void) {
    return g_midiPortScan.inputs.load() != NULL && g_midiPortScan.foundInput.load() != SCAN_NONE;
}
