// The stand-in winmm.dll (see sim/winmm_standin.h): the MIDI service with the maker's
// driver and the instrument behind it.
//
// One service thread does everything that happens later than the call that caused it:
// an output message finishes leaving (MOM_DONE, and the instrument gets it), a reply or
// an injected piece arrives on an input port (filled buffers, MIM_LONGDATA). It runs
// only while a port is open: the first open starts it and returns once it runs, the
// last close ends it and returns once it has ended. A thread still starting, or still
// working, when the process ends can take the whole process down with it under Wine,
// and a test process ends right after its last close. Open and close notifications
// (MOM_OPEN, MIM_CLOSE, ...) come from the service thread too, as with the real service:
// a close notification may arrive after the close call has returned, though never after
// the last port's close has returned. Calls into
// the callbacks happen with the state lock released but the callback lock held, so the
// updater sees its buffers come back in queue order even when midiInReset on its own
// thread hands back the rest at the same moment.
#define _WINMM_ // these definitions are the exports

#include "sim/winmm_standin.h"

#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "sim/winmm_standin_config.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

#define STANDIN_OUT_QUEUE 16
#define STANDIN_IN_QUEUE 64
#define STANDIN_MAX_PENDING 128
#define STANDIN_MAX_PIECE 4096
#define STANDIN_TO_LINKED (-1) // a reply of the instrument: every linked input port
#define STANDIN_DEFAULT_BYTES_PER_MS 1000
#define STANDIN_MAX_CALLS (STANDIN_IN_QUEUE + STANDIN_OUT_QUEUE + 4)
#define STANDIN_MAX_DUMP (64u * 1024u * 1024u)
#define STANDIN_HEADER_MIN_SIZE offsetof(MIDIHDR, dwOffset)
#define STANDIN_MAX_ARRIVALS 65536

struct StandinCallback {
    DWORD type; // CALLBACK_FUNCTION, CALLBACK_EVENT, ...
    DWORD_PTR target;
    DWORD_PTR instance;
};

struct StandinOutPort {
    int used;
    int entry;
    StandinCallback callback;
    MIDIHDR* queue[STANDIN_OUT_QUEUE];
    int queueHead;
    int queueCount;
    uint64_t headDoneAt; // when the first queued message has left, in microseconds
    // The instrument hears a byte stream: a message may be split over several headers.
    unsigned char assembly[VI_MAX_MESSAGE];
    int assemblyLength;
    int assembling;
};

struct StandinInPort {
    int used;
    int entry;
    StandinCallback callback;
    int started;
    uint64_t startedAt;
    MIDIHDR* queue[STANDIN_IN_QUEUE];
    int queueHead;
    int queueCount;
};

struct StandinPortList {
    const char* variable;
    int output;
    int parsed;
    int isSet;
    char text[STANDIN_PORT_LIST_SIZE];
    StandinPortInfo ports[STANDIN_MAX_PORTS];
    int count;
    int opens[STANDIN_MAX_PORTS];
    int failures[STANDIN_MAX_PORTS];
};

struct StandinPending {
    int used;
    int target; // input port entry, or STANDIN_TO_LINKED
    uint64_t dueAt;
    uint32_t order;
    int length;
    unsigned char bytes[STANDIN_MAX_PIECE];
};

struct StandinCall {
    StandinCallback callback;
    HANDLE handle;
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
};

struct StandinCalls {
    StandinCall items[STANDIN_MAX_CALLS];
    int count;
};

// When a whole message reached the instrument, for ORV_MIDI_TIMES.
struct StandinArrival {
    uint64_t at; // microseconds on QueryPerformanceCounter's clock
    uint32_t length;
};

struct Standin {
    CRITICAL_SECTION lock;
    CRITICAL_SECTION callbackLock; // always taken before lock
    int initialized;
    HANDLE thread; // the running service thread; null while no port is open
    DWORD threadId;
    HANDLE threadStarted;
    uint32_t generation; // raised when the service thread is told to end
    int serviceThreads;  // threads not yet ended, an ending one included
    HANDLE wake;
    LARGE_INTEGER frequency;
    StandinPortList outputs;
    StandinPortList inputs;
    StandinOutPort outPorts[STANDIN_MAX_PORTS];
    StandinInPort inPorts[STANDIN_MAX_PORTS];
    StandinPending pending[STANDIN_MAX_PENDING];
    uint32_t nextOrder;
    uint32_t bytesPerMs;
    int droppedInputBytes;
    int delivering;       // a piece taken off the pending list whose callbacks still run
    StandinCalls notices; // open and close notifications for the service thread
    unsigned char reply[VI_MAX_REPLY];
    unsigned char piece[STANDIN_MAX_PIECE]; // the piece the service thread delivers
    StandinArrival* arrivals;               // null unless ORV_MIDI_TIMES asks for them
    int arrivalCount;
};

Standin g_standin;

typedef void(CALLBACK* StandinCallbackProc)(HANDLE handle, UINT message, DWORD_PTR instance,
                                            DWORD_PTR param1, DWORD_PTR param2);
typedef BOOL(WINAPI* PostMessageProc)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
typedef BOOL(WINAPI* PostThreadMessageProc)(DWORD thread, UINT message, WPARAM wParam,
                                            LPARAM lParam);

uint64_t NowUs(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (uint64_t)(counter.QuadPart / g_standin.frequency.QuadPart) * 1000000u +
           (uint64_t)(counter.QuadPart % g_standin.frequency.QuadPart) * 1000000u /
               (uint64_t)g_standin.frequency.QuadPart;
}

// ---------------------------------------------------------------- configuration

void ReadPorts(StandinPortList* list, int force) {
    char text[STANDIN_PORT_LIST_SIZE];
    int isSet = StandinGetEnv(list->variable, text, sizeof text);
    if (!force && list->parsed && list->isSet == isSet && strcmp(list->text, text) == 0) {
        return;
    }
    TextCopy(list->text, sizeof list->text, text);
    list->isSet = isSet;
    list->count = StandinParsePorts(text, isSet, list->output, list->ports);
    memset(list->opens, 0, sizeof list->opens);
    memset(list->failures, 0, sizeof list->failures);
    list->parsed = 1;
}

int AnyOpen(const StandinPortList* list) {
    for (int i = 0; i < STANDIN_MAX_PORTS; i++) {
        if (list->output ? g_standin.outPorts[i].used : g_standin.inPorts[i].used) {
            return 1;
        }
    }
    return 0;
}

void ReadSettings(void) {
    char text[32];
    uint32_t bytesPerMs = STANDIN_DEFAULT_BYTES_PER_MS;
    if (StandinGetEnv("ORV_MIDI_TX_BYTES_PER_MS", text, sizeof text)) {
        bytesPerMs = (uint32_t)strtoul(text, nullptr, 0);
    }
    g_standin.bytesPerMs = bytesPerMs > 0 ? bytesPerMs : 1;
    // Timing costs nothing unless asked for: the record is made only then, and kept.
    char path[PATH_SIZE];
    if (g_standin.arrivals == nullptr && StandinGetEnv("ORV_MIDI_TIMES", path, sizeof path)) {
        g_standin.arrivals = static_cast<StandinArrival*>(
            HeapAlloc(GetProcessHeap(), 0, STANDIN_MAX_ARRIVALS * sizeof(StandinArrival)));
    }
    g_standin.arrivalCount = 0;
    VirtualInstrumentConfig config;
    StandinReadInstrumentConfig(&config);
    VirtualInstrumentReset(&config);
}

// Called with the lock held by every export.
void EnsureStarted(void) {
    Standin& s = g_standin;
    if (s.initialized) {
        return;
    }
    QueryPerformanceFrequency(&s.frequency);
    s.wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    s.threadStarted = CreateEventA(NULL, FALSE, FALSE, NULL);
    s.outputs.variable = "ORV_MIDI_OUT_PORTS";
    s.outputs.output = 1;
    s.inputs.variable = "ORV_MIDI_IN_PORTS";
    s.inputs.output = 0;
    ReadPorts(&s.outputs, 1);
    ReadPorts(&s.inputs, 1);
    ReadSettings();
    s.initialized = 1;
}

int Visible(const StandinPortList* list, int entry) {
    int vanish = list->ports[entry].vanishAfter;
    return vanish == 0 || list->opens[entry] < vanish;
}

int VisibleCount(const StandinPortList* list) {
    int count = 0;
    for (int i = 0; i < list->count; i++) {
        count += Visible(list, i);
    }
    return count;
}

int EntryOfDevice(const StandinPortList* list, UINT_PTR device) {
    UINT_PTR number = 0;
    for (int i = 0; i < list->count; i++) {
        if (!Visible(list, i)) {
            continue;
        }
        if (number == device) {
            return i;
        }
        number++;
    }
    return -1;
}

int DeviceOfEntry(const StandinPortList* list, int entry) {
    int number = 0;
    for (int i = 0; i < list->count && i <= entry; i++) {
        if (i == entry) {
            return Visible(list, i) ? number : -1;
        }
        number += Visible(list, i);
    }
    return -1;
}

// ---------------------------------------------------------------- callbacks

void AddCall(StandinCalls* calls, const StandinCallback& callback, HANDLE handle, UINT message,
             DWORD_PTR param1, DWORD_PTR param2) {
    if (callback.type == CALLBACK_NULL || calls->count >= STANDIN_MAX_CALLS) {
        return;
    }
    StandinCall& c = calls->items[calls->count++];
    c.callback = callback;
    c.handle = handle;
    c.message = message;
    c.param1 = param1;
    c.param2 = param2;
}

// Window and thread callbacks are rare; user32 is only loaded when one is asked for.
void* UserProc(const char* name) {
    HMODULE user = LoadLibraryA("user32.dll");
    return user != NULL ? reinterpret_cast<void*>(GetProcAddress(user, name)) : nullptr;
}

void Fire(const StandinCalls* calls) {
    for (int i = 0; i < calls->count; i++) {
        const StandinCall& c = calls->items[i];
        switch (c.callback.type & CALLBACK_TYPEMASK) {
        case CALLBACK_FUNCTION:
            reinterpret_cast<StandinCallbackProc>(c.callback.target)(
                c.handle, c.message, c.callback.instance, c.param1, c.param2);
            break;
        case CALLBACK_EVENT:
            SetEvent((HANDLE)c.callback.target);
            break;
        case CALLBACK_WINDOW: {
            PostMessageProc post = reinterpret_cast<PostMessageProc>(UserProc("PostMessageA"));
            if (post != nullptr) {
                post((HWND)c.callback.target, c.message, (WPARAM)c.handle, (LPARAM)c.param1);
            }
            break;
        }
        case CALLBACK_THREAD: {
            PostThreadMessageProc post =
                reinterpret_cast<PostThreadMessageProc>(UserProc("PostThreadMessageA"));
            if (post != nullptr) {
                post((DWORD)c.callback.target, c.message, (WPARAM)c.handle, (LPARAM)c.param1);
            }
            break;
        }
        default:
            break;
        }
    }
}

// Leaves both locks and then tells the application.
void UnlockAndFire(const StandinCalls* calls) {
    LeaveCriticalSection(&g_standin.lock);
    Fire(calls);
    LeaveCriticalSection(&g_standin.callbackLock);
}

void LockBoth(void) {
    EnterCriticalSection(&g_standin.callbackLock);
    EnterCriticalSection(&g_standin.lock);
    EnsureStarted();
}

void UnlockBoth(void) {
    LeaveCriticalSection(&g_standin.lock);
    LeaveCriticalSection(&g_standin.callbackLock);
}

// Open and close notifications come later, from the service thread.
void Notify(const StandinCallback& callback, const void* port, UINT message) {
    AddCall(&g_standin.notices, callback, (HANDLE)port, message, 0, 0);
    SetEvent(g_standin.wake);
}

// ---------------------------------------------------------------- ports and handles

// An output and an input port record keep their common bookkeeping (used, entry,
// callback, the header queue) under the same names, so the function templates below
// serve both directions; a port's handle is its record's address.

template <typename Port> Port* FindPort(Port* ports, const void* handle) {
    for (int i = 0; i < STANDIN_MAX_PORTS; i++) {
        if (ports[i].used && static_cast<const void*>(&ports[i]) == handle) {
            return &ports[i];
        }
    }
    return nullptr;
}

StandinOutPort* OutPort(HMIDIOUT handle) {
    return FindPort(g_standin.outPorts, handle);
}

StandinInPort* InPort(HMIDIIN handle) {
    return FindPort(g_standin.inPorts, handle);
}

template <typename Port> int QueueCapacity(const Port* port) {
    return (int)(sizeof port->queue / sizeof port->queue[0]);
}

// Why a header cannot join the port's queue, or MMSYSERR_NOERROR.
template <typename Port> MMRESULT CheckQueueable(const Port* port, const MIDIHDR* header) {
    if (port == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!(header->dwFlags & MHDR_PREPARED)) {
        return MIDIERR_UNPREPARED;
    }
    if (header->dwFlags & MHDR_INQUEUE) {
        return MIDIERR_STILLPLAYING;
    }
    return port->queueCount >= QueueCapacity(port) ? MMSYSERR_NOMEM : MMSYSERR_NOERROR;
}

template <typename Port> void Enqueue(Port* port, MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    port->queue[(port->queueHead + port->queueCount) % QueueCapacity(port)] = header;
    port->queueCount++;
}

// The first queued header, taken off the queue; the caller marks it done once it has
// finished with its bytes, since the application may be watching the flag.
template <typename Port> MIDIHDR* Dequeue(Port* port) {
    MIDIHDR* header = port->queue[port->queueHead];
    port->queueHead = (port->queueHead + 1) % QueueCapacity(port);
    port->queueCount--;
    return header;
}

void MarkDone(MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

// Every queued header goes back, in queue order, marked done.
template <typename Port>
void HandBackQueue(Port* port, UINT message, DWORD_PTR param2, StandinCalls* calls) {
    while (port->queueCount > 0) {
        MIDIHDR* header = Dequeue(port);
        MarkDone(header);
        AddCall(calls, port->callback, reinterpret_cast<HANDLE>(port), message, (DWORD_PTR)header,
                param2);
    }
}

int IsLinked(const StandinPortList* list, int entry) {
    return entry >= 0 && entry < list->count && list->ports[entry].linked;
}

int Keeps(const StandinPortList* list, int entry) {
    return entry >= 0 && entry < list->count && list->ports[entry].keep;
}

uint64_t TransmitUs(DWORD length) {
    uint64_t us = (uint64_t)length * 1000u / g_standin.bytesPerMs;
    return us < 1000u ? 1000u : us;
}

int OpenPortCount(void) {
    int count = 0;
    for (int i = 0; i < STANDIN_MAX_PORTS; i++) {
        count += g_standin.outPorts[i].used + g_standin.inPorts[i].used;
    }
    return count;
}

DWORD WINAPI ServiceThread(LPVOID);

// Called with the lock held.
void StartServiceThread(void) {
    Standin& s = g_standin;
    if (s.thread != NULL) {
        return;
    }
    s.thread = CreateThread(NULL, 0, ServiceThread,
                            reinterpret_cast<LPVOID>((uintptr_t)s.generation), 0, &s.threadId);
    if (s.thread != NULL) {
        s.serviceThreads++;
        WaitForSingleObject(s.threadStarted, INFINITE);
    }
}

// Input on its way when the last port closes reaches nobody.
void DropPending(void) {
    for (StandinPending& p : g_standin.pending) {
        if (p.used) {
            g_standin.droppedInputBytes += p.length;
            p.used = 0;
        }
    }
}

// Called with the lock held when the last port has closed; the caller waits for the
// returned thread once it has let go of the locks.
HANDLE StopServiceThread(void) {
    Standin& s = g_standin;
    HANDLE thread = s.thread;
    if (thread == NULL) {
        return NULL;
    }
    s.thread = NULL;
    s.generation++;
    DropPending();
    SetEvent(s.wake);
    // A callback that closes the last port runs on the service thread itself, which
    // cannot wait for its own end: it ends once the callback has returned.
    if (s.threadId == GetCurrentThreadId()) {
        CloseHandle(thread);
        return NULL;
    }
    return thread;
}

void AwaitServiceThread(HANDLE thread) {
    if (thread != NULL) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// A fault the configuration asks for: this open fails, or the port is already taken.
MMRESULT ClaimPort(StandinPortList* list, int entry) {
    if (entry < 0) {
        return MMSYSERR_BADDEVICEID;
    }
    if (list->failures[entry] < list->ports[entry].failOpens) {
        list->failures[entry]++;
        return (MMRESULT)list->ports[entry].openError;
    }
    for (int i = 0; i < STANDIN_MAX_PORTS; i++) {
        int used = list->output ? g_standin.outPorts[i].used : g_standin.inPorts[i].used;
        int openEntry = list->output ? g_standin.outPorts[i].entry : g_standin.inPorts[i].entry;
        if (used && openEntry == entry) {
            return MMSYSERR_ALLOCATED;
        }
    }
    return MMSYSERR_NOERROR;
}

StandinCallback MakeCallback(DWORD_PTR target, DWORD_PTR instance, DWORD flags) {
    StandinCallback callback;
    callback.type = flags & CALLBACK_TYPEMASK;
    callback.target = target;
    callback.instance = instance;
    return callback;
}

int CheckFlags(DWORD flags) {
    DWORD type = flags & CALLBACK_TYPEMASK;
    return type == CALLBACK_NULL || type == CALLBACK_FUNCTION || type == CALLBACK_EVENT ||
           type == CALLBACK_WINDOW || type == CALLBACK_THREAD;
}

// ---------------------------------------------------------------- the instrument

void AddPending(int target, uint64_t dueAt, const unsigned char* bytes, int length) {
    Standin& s = g_standin;
    for (StandinPending& p : s.pending) {
        if (!p.used) {
            p.used = 1;
            p.target = target;
            p.dueAt = dueAt;
            p.order = s.nextOrder++;
            p.length = length;
            memcpy(p.bytes, bytes, (size_t)length);
            SetEvent(s.wake);
            return;
        }
    }
    s.droppedInputBytes += length;
}

void TakeReplies(uint64_t now) {
    while (VirtualInstrumentPendingReplies() > 0) {
        uint32_t delayMs = 0;
        int length = VirtualInstrumentTakeReply(g_standin.reply, sizeof g_standin.reply, &delayMs);
        if (length > 0) {
            AddPending(STANDIN_TO_LINKED, now + (uint64_t)delayMs * 1000u, g_standin.reply, length);
        }
    }
}

void RecordArrival(int length, uint64_t now) {
    Standin& s = g_standin;
    if (s.arrivals != nullptr && s.arrivalCount < STANDIN_MAX_ARRIVALS) {
        s.arrivals[s.arrivalCount].at = now;
        s.arrivals[s.arrivalCount].length = (uint32_t)length;
        s.arrivalCount++;
    }
}

// Frames the bytes that have left into System Exclusive messages for the instrument;
// every other byte reaches it as one that belongs to no such message.
void PassToInstrument(StandinOutPort* port, const unsigned char* data, DWORD length, uint64_t now) {
    int other = 0;
    for (DWORD i = 0; i < length; i++) {
        unsigned char byte = data[i];
        if (byte == 0xF0) {
            other += port->assembling ? port->assemblyLength : 0;
            port->assembling = 1;
            port->assemblyLength = 0;
        } else if (!port->assembling || byte >= 0xF8) {
            other++; // a short message or a real-time byte
            continue;
        } else if (((byte & 0x80) && byte != 0xF7) ||
                   port->assemblyLength >= (int)sizeof port->assembly) {
            // A status byte cuts the message off; so does a message too long to be one.
            port->assembling = 0;
            other += port->assemblyLength + 1;
            continue;
        }
        port->assembly[port->assemblyLength++] = byte;
        if (byte == 0xF7) {
            port->assembling = 0;
            RecordArrival(port->assemblyLength, now);
            VirtualInstrumentHandleMessage(port->assembly, port->assemblyLength);
        }
    }
    if (other > 0) {
        VirtualInstrumentHandleOtherBytes(other);
    }
    TakeReplies(now);
}

// What midiOutReset sends after handing the queue back, as the common drivers do: on
// each of the 16 channels, sustain off (controller 0x40, value 0) and all notes off
// (controller 0x7B).
void SendResetMessages(StandinOutPort* port, uint64_t now) {
    unsigned char bytes[16 * 6];
    for (int channel = 0; channel < 16; channel++) {
        unsigned char* p = bytes + channel * 6;
        p[0] = p[3] = (unsigned char)(0xB0 | channel);
        p[1] = 0x40;
        p[4] = 0x7B;
        p[2] = p[5] = 0x00;
    }
    PassToInstrument(port, bytes, sizeof bytes, now);
}

// The length of the short message a status byte starts.
int ShortMessageLength(unsigned char status) {
    if (status < 0x80 || status >= 0xF4) {
        return 1;
    }
    if ((status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3) {
        return 2;
    }
    return status == 0xF0 ? 1 : 3;
}

void CompleteOutput(StandinOutPort* port, uint64_t now, StandinCalls* calls) {
    MIDIHDR* header = Dequeue(port);
    if (port->queueCount > 0) {
        port->headDoneAt = now + TransmitUs(port->queue[port->queueHead]->dwBufferLength);
    }
    if (IsLinked(&g_standin.outputs, port->entry)) {
        PassToInstrument(port, reinterpret_cast<const unsigned char*>(header->lpData),
                         header->dwBufferLength, now);
    }
    MarkDone(header);
    AddCall(calls, port->callback, reinterpret_cast<HANDLE>(port), MOM_DONE, (DWORD_PTR)header, 0);
}

int IsShortMessage(const unsigned char* bytes) {
    return (bytes[0] >= 0x80 && bytes[0] < 0xF0) || (bytes[0] > 0xF0 && bytes[0] < 0xF7) ||
           bytes[0] >= 0xF8;
}

// Fills the queued buffers in order; a buffer goes back at the end of each message (F7)
// or when full, what does not fit goes on in the next buffer, and what finds no buffer
// is lost, as with a real port.
void FillInput(StandinInPort* port, const unsigned char* bytes, int length, uint64_t now,
               StandinCalls* calls) {
    Standin& s = g_standin;
    if (!port->started) {
        s.droppedInputBytes += length;
        return;
    }
    DWORD_PTR timestamp = (DWORD_PTR)((now - port->startedAt) / 1000u);
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    if (IsShortMessage(bytes)) {
        DWORD packed = 0;
        for (int i = 0; i < length && i < 3; i++) {
            packed |= (DWORD)bytes[i] << (8 * i);
        }
        AddCall(calls, port->callback, handle, MIM_DATA, packed, timestamp);
        return;
    }
    int offset = 0;
    while (offset < length) {
        if (port->queueCount == 0) {
            s.droppedInputBytes += length - offset;
            return;
        }
        MIDIHDR* header = Dequeue(port);
        int n = 0;
        while (offset + n < length && (DWORD)n < header->dwBufferLength) {
            if (bytes[offset + n++] == 0xF7) {
                break;
            }
        }
        memcpy(header->lpData, bytes + offset, (size_t)n);
        header->dwBytesRecorded = (DWORD)n;
        MarkDone(header);
        offset += n;
        AddCall(calls, port->callback, handle, MIM_LONGDATA, (DWORD_PTR)header, timestamp);
    }
}

void DeliverPending(StandinPending* pending, uint64_t now, StandinCalls* calls) {
    Standin& s = g_standin;
    int target = pending->target;
    int length = pending->length;
    memcpy(s.piece, pending->bytes, (size_t)length);
    pending->used = 0;
    int delivered = 0;
    for (StandinInPort& port : s.inPorts) {
        if (!port.used) {
            continue;
        }
        if (target == STANDIN_TO_LINKED ? IsLinked(&s.inputs, port.entry) : port.entry == target) {
            FillInput(&port, s.piece, length, now, calls);
            delivered = 1;
        }
    }
    if (!delivered) {
        s.droppedInputBytes += length;
    }
}

// Does one thing that is due; returns 0 with *waitMs set when nothing is.
int ServiceOne(DWORD* waitMs) {
    Standin& s = g_standin;
    LockBoth();
    if (s.notices.count > 0) {
        StandinCalls notices = s.notices;
        s.notices.count = 0;
        UnlockAndFire(&notices);
        return 1;
    }
    uint64_t now = NowUs();
    StandinOutPort* output = nullptr;
    StandinPending* pending = nullptr;
    uint64_t next = UINT64_MAX;
    for (StandinOutPort& port : s.outPorts) {
        if (port.used && port.queueCount > 0 && port.headDoneAt < next &&
            !Keeps(&s.outputs, port.entry)) {
            next = port.headDoneAt;
            output = &port;
        }
    }
    for (StandinPending& p : s.pending) {
        if (p.used && (p.dueAt < next ||
                       (pending != nullptr && p.dueAt == next && p.order < pending->order))) {
            next = p.dueAt;
            pending = &p;
            output = nullptr;
        }
    }
    if (next > now) {
        *waitMs = next == UINT64_MAX ? INFINITE : (DWORD)((next - now + 999u) / 1000u);
        LeaveCriticalSection(&s.lock);
        LeaveCriticalSection(&s.callbackLock);
        return 0;
    }
    StandinCalls calls;
    calls.count = 0;
    if (output != nullptr) {
        CompleteOutput(output, now, &calls);
        UnlockAndFire(&calls);
        return 1;
    }
    DeliverPending(pending, now, &calls);
    s.delivering = 1;
    UnlockAndFire(&calls);
    EnterCriticalSection(&s.lock);
    s.delivering = 0;
    LeaveCriticalSection(&s.lock);
    return 1;
}

DWORD WINAPI ServiceThread(LPVOID parameter) {
    Standin& s = g_standin;
    const uint32_t generation = (uint32_t) reinterpret_cast<uintptr_t>(parameter);
    SetEvent(s.threadStarted);
    for (;;) {
        DWORD waitMs = 0;
        while (ServiceOne(&waitMs)) {
        }
        // Told to end: with no port open nothing is left to do.
        EnterCriticalSection(&s.lock);
        int ends = s.generation != generation && s.notices.count == 0;
        if (ends) {
            s.serviceThreads--;
            // A new thread may already run: a wake-up this one took is passed on.
            SetEvent(s.wake);
        }
        LeaveCriticalSection(&s.lock);
        if (ends) {
            return 0;
        }
        WaitForSingleObject(s.wake, waitMs);
    }
}

// ---------------------------------------------------------------- report

int WriteFileWhole(const char* path, const void* data, DWORD length) {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, length, &written, NULL);
    CloseHandle(file);
    return ok && written == length;
}

// One line per message: "MICROSECONDS LENGTH".
int WriteArrivals(const char* path) {
    const Standin& s = g_standin;
    const int lineSize = 40;
    char* text = static_cast<char*>(HeapAlloc(
        GetProcessHeap(), 0, (SIZE_T)(s.arrivalCount > 0 ? s.arrivalCount : 1) * lineSize));
    if (text == NULL) {
        return 0;
    }
    DWORD length = 0;
    for (int i = 0; i < s.arrivalCount; i++) {
        const StandinArrival& a = s.arrivals[i];
        // In two halves where it needs them: not every C library here has %llu.
        const unsigned long high = (unsigned long)(a.at / 1000000000u);
        const unsigned long low = (unsigned long)(a.at % 1000000000u);
        if (high > 0) {
            TextFormat(text + length, lineSize, "%lu%09lu %lu\r\n", high, low,
                       (unsigned long)a.length);
        } else {
            TextFormat(text + length, lineSize, "%lu %lu\r\n", low, (unsigned long)a.length);
        }
        length += (DWORD)strlen(text + length);
    }
    int ok = WriteFileWhole(path, text, length);
    HeapFree(GetProcessHeap(), 0, text);
    return ok;
}

int WriteReport(int droppedInputBytes) {
    char path[PATH_SIZE];
    char range[64];
    uint32_t address = 0;
    uint32_t length = 0;
    if (StandinGetEnv("ORV_MIDI_FLASH_RANGE", range, sizeof range)) {
        char* comma = strchr(range, ',');
        address = (uint32_t)strtoul(range, nullptr, 0);
        length = comma != nullptr ? (uint32_t)strtoul(comma + 1, nullptr, 0) : 0;
        if (length > STANDIN_MAX_DUMP) {
            length = STANDIN_MAX_DUMP;
        }
    }
    int ok = 1;
    if (StandinGetEnv("ORV_MIDI_REPORT", path, sizeof path)) {
        char text[512];
        TextFormat(text, sizeof text,
                   "messages %d\r\npackets %d\r\nwritten %u\r\ndropped %d\r\nforeign %d\r\n",
                   VirtualInstrumentMessageCount(), VirtualInstrumentPacketCount(),
                   (unsigned)VirtualInstrumentFlashWrittenCount(address, length), droppedInputBytes,
                   VirtualInstrumentForeignByteCount());
        ok &= WriteFileWhole(path, text, (DWORD)strlen(text));
    }
    if (StandinGetEnv("ORV_MIDI_FLASH_DUMP", path, sizeof path)) {
        void* dump = HeapAlloc(GetProcessHeap(), 0, length > 0 ? length : 1);
        if (dump == NULL) {
            return 0;
        }
        VirtualInstrumentFlashRead(address, static_cast<unsigned char*>(dump), length);
        ok &= WriteFileWhole(path, dump, length);
        HeapFree(GetProcessHeap(), 0, dump);
    }
    if (g_standin.arrivals != nullptr && StandinGetEnv("ORV_MIDI_TIMES", path, sizeof path)) {
        ok &= WriteArrivals(path);
    }
    return ok;
}

void ReportWhenAllClosed(int wasLast) {
    if (wasLast) {
        WriteReport(g_standin.droppedInputBytes);
    }
}

// ---------------------------------------------------------------- what both directions do

// A changed port list is taken up only while no port of its direction is open, so the
// device numbers of open ports stay as they were.
UINT CountPorts(StandinPortList* list) {
    EnterCriticalSection(&g_standin.lock);
    EnsureStarted();
    if (!AnyOpen(list)) {
        ReadPorts(list, 0);
    }
    UINT count = (UINT)VisibleCount(list);
    LeaveCriticalSection(&g_standin.lock);
    return count;
}

// 1 and the port's description when the device number is one of the visible ports.
int FindPortInfo(StandinPortList* list, UINT_PTR device, StandinPortInfo* info) {
    EnterCriticalSection(&g_standin.lock);
    EnsureStarted();
    int entry = EntryOfDevice(list, device);
    if (entry >= 0) {
        *info = list->ports[entry];
    }
    LeaveCriticalSection(&g_standin.lock);
    return entry >= 0;
}

// Only an output port says what kind of device it is.
void FillKindCaps(MIDIOUTCAPSA* caps, const StandinPortInfo& p) {
    caps->wTechnology = p.technology;
    caps->wVoices = p.technology == MOD_MIDIPORT ? 0 : 32;
    caps->wNotes = p.technology == MOD_MIDIPORT ? 0 : 32;
    caps->wChannelMask = 0xFFFF;
}

void FillKindCaps(MIDIINCAPSA*, const StandinPortInfo&) {}

// The caller gets at most size bytes of the capabilities, as from the real service.
template <typename Caps>
MMRESULT GetPortCaps(StandinPortList* list, UINT_PTR device, Caps* caps, UINT size) {
    if (caps == NULL) {
        return MMSYSERR_INVALPARAM;
    }
    StandinPortInfo p;
    if (!FindPortInfo(list, device, &p)) {
        return MMSYSERR_BADDEVICEID;
    }
    Caps full;
    memset(&full, 0, sizeof full);
    full.wMid = p.manufacturer;
    full.wPid = p.product;
    full.vDriverVersion = p.driverVersion;
    memcpy(full.szPname, p.name, strnlen(p.name, sizeof full.szPname));
    FillKindCaps(&full, p);
    memcpy(caps, &full, size < sizeof full ? size : sizeof full);
    return MMSYSERR_NOERROR;
}

template <typename Port, typename Handle>
MMRESULT OpenPort(StandinPortList* list, Port* ports, Handle* handleOut, UINT device,
                  DWORD_PTR callback, DWORD_PTR instance, DWORD flags, UINT openMessage) {
    if (handleOut == NULL) {
        return MMSYSERR_INVALPARAM;
    }
    if (!CheckFlags(flags)) {
        return MMSYSERR_INVALFLAG;
    }
    LockBoth();
    int entry = EntryOfDevice(list, device);
    MMRESULT result = ClaimPort(list, entry);
    Port* port = nullptr;
    if (result == MMSYSERR_NOERROR) {
        for (int i = 0; i < STANDIN_MAX_PORTS && port == nullptr; i++) {
            if (!ports[i].used) {
                port = &ports[i];
            }
        }
        if (port == nullptr) {
            result = MMSYSERR_NOMEM;
        }
    }
    if (result == MMSYSERR_NOERROR) {
        memset(port, 0, sizeof *port);
        port->used = 1;
        port->entry = entry;
        port->callback = MakeCallback(callback, instance, flags);
        list->opens[entry]++;
        *handleOut = reinterpret_cast<Handle>(port);
        StartServiceThread();
        Notify(port->callback, port, openMessage);
    }
    UnlockBoth();
    return result;
}

// Closing the last open port of either direction writes the report files.
template <typename Port> MMRESULT ClosePort(Port* ports, const void* handle, UINT closeMessage) {
    LockBoth();
    Port* port = FindPort(ports, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (port == nullptr) {
        result = MMSYSERR_INVALHANDLE;
    } else if (port->queueCount > 0) {
        result = MIDIERR_STILLPLAYING;
    } else {
        Notify(port->callback, port, closeMessage);
        port->used = 0;
    }
    int last = result == MMSYSERR_NOERROR && OpenPortCount() == 0;
    HANDLE thread = last ? StopServiceThread() : NULL;
    UnlockBoth();
    AwaitServiceThread(thread);
    ReportWhenAllClosed(last);
    return result;
}

template <typename Port>
MMRESULT PrepareHeader(Port* ports, const void* handle, LPMIDIHDR header, UINT size) {
    if (header == NULL || size < STANDIN_HEADER_MIN_SIZE || header->lpData == NULL) {
        return MMSYSERR_INVALPARAM;
    }
    EnterCriticalSection(&g_standin.lock);
    MMRESULT result = MMSYSERR_NOERROR;
    if (FindPort(ports, handle) == nullptr) {
        result = MMSYSERR_INVALHANDLE;
    } else if (!(header->dwFlags & MHDR_PREPARED)) {
        header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~(MHDR_DONE | MHDR_INQUEUE);
    }
    LeaveCriticalSection(&g_standin.lock);
    return result;
}

template <typename Port>
MMRESULT UnprepareHeader(Port* ports, const void* handle, LPMIDIHDR header, UINT size) {
    if (header == NULL || size < STANDIN_HEADER_MIN_SIZE) {
        return MMSYSERR_INVALPARAM;
    }
    EnterCriticalSection(&g_standin.lock);
    MMRESULT result = MMSYSERR_NOERROR;
    if (FindPort(ports, handle) == nullptr) {
        result = MMSYSERR_INVALHANDLE;
    } else if (header->dwFlags & MHDR_INQUEUE) {
        result = MIDIERR_STILLPLAYING;
    } else {
        header->dwFlags &= ~MHDR_PREPARED;
    }
    LeaveCriticalSection(&g_standin.lock);
    return result;
}

int HeaderCanCarryData(const MIDIHDR* header, UINT size) {
    return header != NULL && size >= STANDIN_HEADER_MIN_SIZE && header->lpData != NULL &&
           header->dwBufferLength != 0;
}

} // namespace

// ==================================================================== MIDI output

extern "C" {

UINT WINAPI midiOutGetNumDevs(void) {
    return CountPorts(&g_standin.outputs);
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR device, LPMIDIOUTCAPSA caps, UINT size) {
    return GetPortCaps(&g_standin.outputs, device, caps, size);
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handleOut, UINT device, DWORD_PTR callback,
                            DWORD_PTR instance, DWORD flags) {
    return OpenPort(&g_standin.outputs, g_standin.outPorts, handleOut, device, callback, instance,
                    flags, MOM_OPEN);
}

MMRESULT WINAPI midiOutClose(HMIDIOUT handle) {
    return ClosePort(g_standin.outPorts, handle, MOM_CLOSE);
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    return PrepareHeader(g_standin.outPorts, handle, header, size);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    return UnprepareHeader(g_standin.outPorts, handle, header, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    if (!HeaderCanCarryData(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    EnterCriticalSection(&g_standin.lock);
    StandinOutPort* port = OutPort(handle);
    MMRESULT result = CheckQueueable(port, header);
    if (result == MMSYSERR_NOERROR) {
        Enqueue(port, header);
        if (port->queueCount == 1) {
            port->headDoneAt = NowUs() + TransmitUs(header->dwBufferLength);
        }
        SetEvent(g_standin.wake);
    }
    LeaveCriticalSection(&g_standin.lock);
    return result;
}

// Leaves at once, beside any long message on its way.
MMRESULT WINAPI midiOutShortMsg(HMIDIOUT handle, DWORD message) {
    EnterCriticalSection(&g_standin.lock);
    StandinOutPort* port = OutPort(handle);
    if (port != nullptr && IsLinked(&g_standin.outputs, port->entry)) {
        VirtualInstrumentHandleOtherBytes(ShortMessageLength((unsigned char)message));
    }
    LeaveCriticalSection(&g_standin.lock);
    return port != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

// Every queued message is handed back at once, the one leaving cut off unheard; then
// the channel messages of SendResetMessages go out.
MMRESULT WINAPI midiOutReset(HMIDIOUT handle) {
    LockBoth();
    StandinOutPort* port = OutPort(handle);
    StandinCalls calls;
    calls.count = 0;
    if (port != nullptr && !Keeps(&g_standin.outputs, port->entry)) {
        HandBackQueue(port, MOM_DONE, 0, &calls);
        if (IsLinked(&g_standin.outputs, port->entry)) {
            SendResetMessages(port, NowUs());
        }
        port->assembling = 0;
    }
    UnlockAndFire(&calls);
    return port != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

// ==================================================================== MIDI input

UINT WINAPI midiInGetNumDevs(void) {
    return CountPorts(&g_standin.inputs);
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR device, LPMIDIINCAPSA caps, UINT size) {
    return GetPortCaps(&g_standin.inputs, device, caps, size);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN handleOut, UINT device, DWORD_PTR callback, DWORD_PTR instance,
                           DWORD flags) {
    return OpenPort(&g_standin.inputs, g_standin.inPorts, handleOut, device, callback, instance,
                    flags, MIM_OPEN);
}

MMRESULT WINAPI midiInClose(HMIDIIN handle) {
    return ClosePort(g_standin.inPorts, handle, MIM_CLOSE);
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    return PrepareHeader(g_standin.inPorts, handle, header, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    return UnprepareHeader(g_standin.inPorts, handle, header, size);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    if (!HeaderCanCarryData(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    EnterCriticalSection(&g_standin.lock);
    StandinInPort* port = InPort(handle);
    MMRESULT result = CheckQueueable(port, header);
    if (result == MMSYSERR_NOERROR) {
        header->dwBytesRecorded = 0;
        Enqueue(port, header);
    }
    LeaveCriticalSection(&g_standin.lock);
    return result;
}

MMRESULT WINAPI midiInStart(HMIDIIN handle) {
    EnterCriticalSection(&g_standin.lock);
    StandinInPort* port = InPort(handle);
    if (port != nullptr && !port->started) {
        port->started = 1;
        port->startedAt = NowUs();
    }
    LeaveCriticalSection(&g_standin.lock);
    return port != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInStop(HMIDIIN handle) {
    EnterCriticalSection(&g_standin.lock);
    StandinInPort* port = InPort(handle);
    if (port != nullptr) {
        port->started = 0;
    }
    LeaveCriticalSection(&g_standin.lock);
    return port != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

// Input stops and every queued buffer comes back, in queue order, marked done.
MMRESULT WINAPI midiInReset(HMIDIIN handle) {
    LockBoth();
    StandinInPort* port = InPort(handle);
    StandinCalls calls;
    calls.count = 0;
    if (port != nullptr) {
        port->started = 0;
        DWORD_PTR timestamp = (DWORD_PTR)((NowUs() - port->startedAt) / 1000u);
        if (!Keeps(&g_standin.inputs, port->entry)) {
            HandBackQueue(port, MIM_LONGDATA, timestamp, &calls);
        }
    }
    UnlockAndFire(&calls);
    return port != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

// ==================================================================== other winmm exports

// Wine's common controls import these lazily for their animation control; nothing here
// plays media, so they fail the way a missing file does.
HMMIO WINAPI mmioOpenW(LPWSTR fileName, LPMMIOINFO info, DWORD flags) {
    (void)fileName;
    (void)flags;
    if (info != NULL) {
        info->wErrorRet = MMIOERR_FILENOTFOUND;
    }
    return NULL;
}

MMRESULT WINAPI mmioClose(HMMIO file, UINT flags) {
    (void)file;
    (void)flags;
    return MMSYSERR_INVALHANDLE;
}

LONG WINAPI mmioRead(HMMIO file, HPSTR buffer, LONG count) {
    (void)file;
    (void)buffer;
    (void)count;
    return -1;
}

LONG WINAPI mmioSeek(HMMIO file, LONG offset, int origin) {
    (void)file;
    (void)offset;
    (void)origin;
    return -1;
}

MMRESULT WINAPI mmioDescend(HMMIO file, LPMMCKINFO chunk, const MMCKINFO* parent, UINT flags) {
    (void)file;
    (void)chunk;
    (void)parent;
    (void)flags;
    return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT WINAPI mmioAscend(HMMIO file, LPMMCKINFO chunk, UINT flags) {
    (void)file;
    (void)chunk;
    (void)flags;
    return MMIOERR_CHUNKNOTFOUND;
}

DWORD WINAPI timeGetTime(void) {
    return GetTickCount();
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    (void)period;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    (void)period;
    return TIMERR_NOERROR;
}

// ==================================================================== control for tests

void StandinReset(void) {
    Standin& s = g_standin;
    LockBoth();
    int letGo = 0;
    for (int i = 0; i < STANDIN_MAX_PORTS; i++) {
        if (s.outPorts[i].used && Keeps(&s.outputs, s.outPorts[i].entry)) {
            s.outPorts[i].used = 0;
            letGo = 1;
        }
        if (s.inPorts[i].used && Keeps(&s.inputs, s.inPorts[i].entry)) {
            s.inPorts[i].used = 0;
            letGo = 1;
        }
    }
    HANDLE thread = letGo && OpenPortCount() == 0 ? StopServiceThread() : NULL;
    ReadPorts(&s.outputs, 1);
    ReadPorts(&s.inputs, 1);
    for (StandinPending& p : s.pending) {
        p.used = 0;
    }
    s.droppedInputBytes = 0;
    ReadSettings();
    UnlockBoth();
    AwaitServiceThread(thread);
}

int StandinInject(int inputDevice, const unsigned char* bytes, int length, int delayMs) {
    if (bytes == NULL || length <= 0 || length > STANDIN_MAX_PIECE || delayMs < 0) {
        return 0;
    }
    Standin& s = g_standin;
    EnterCriticalSection(&s.lock);
    EnsureStarted();
    int entry = inputDevice >= 0 ? EntryOfDevice(&s.inputs, (UINT_PTR)inputDevice) : -1;
    if (entry >= 0 && OpenPortCount() == 0) {
        s.droppedInputBytes += length; // nothing listens
    } else if (entry >= 0) {
        AddPending(entry, NowUs() + (uint64_t)delayMs * 1000u, bytes, length);
    }
    LeaveCriticalSection(&s.lock);
    return entry >= 0;
}

int StandinPendingInput(void) {
    EnterCriticalSection(&g_standin.lock);
    int count = g_standin.delivering;
    for (const StandinPending& p : g_standin.pending) {
        count += p.used;
    }
    LeaveCriticalSection(&g_standin.lock);
    return count;
}

int StandinOpenDevice(int output) {
    Standin& s = g_standin;
    EnterCriticalSection(&s.lock);
    EnsureStarted();
    int device = -1;
    for (int i = 0; i < STANDIN_MAX_PORTS && device < 0; i++) {
        if (output && s.outPorts[i].used) {
            device = DeviceOfEntry(&s.outputs, s.outPorts[i].entry);
        } else if (!output && s.inPorts[i].used) {
            device = DeviceOfEntry(&s.inputs, s.inPorts[i].entry);
        }
    }
    LeaveCriticalSection(&s.lock);
    return device;
}

int StandinOpenPortCount(void) {
    EnterCriticalSection(&g_standin.lock);
    int count = OpenPortCount();
    LeaveCriticalSection(&g_standin.lock);
    return count;
}

int StandinServiceThreads(void) {
    EnterCriticalSection(&g_standin.lock);
    int count = g_standin.serviceThreads;
    LeaveCriticalSection(&g_standin.lock);
    return count;
}

int StandinDroppedInputBytes(void) {
    EnterCriticalSection(&g_standin.lock);
    int dropped = g_standin.droppedInputBytes;
    LeaveCriticalSection(&g_standin.lock);
    return dropped;
}

int StandinForeignBytes(void) {
    return VirtualInstrumentForeignByteCount();
}

int StandinMessageCount(void) {
    return VirtualInstrumentMessageCount();
}

int StandinMessage(int index, unsigned char* out, int capacity) {
    return VirtualInstrumentMessage(index, out, capacity);
}

int StandinFlashRead(uint32_t address, unsigned char* out, uint32_t length) {
    return VirtualInstrumentFlashRead(address, out, length);
}

int StandinWriteReport(void) {
    return WriteReport(StandinDroppedInputBytes());
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_standin.lock);
        InitializeCriticalSection(&g_standin.callbackLock);
    } else if (reason == DLL_PROCESS_DETACH && g_standin.initialized) {
        // Other threads are gone by now and may have died holding the lock: read the
        // counter without it.
        WriteReport(g_standin.droppedInputBytes);
    }
    return TRUE;
}

} // extern "C"
