// The raw MIDI ports in the browser: Web MIDI over the MIDIAccess the page was given.
//
// What the page puts on the module before it asks for a listing or an open:
//   Module.orventMidiAccess       the MIDIAccess from requestMIDIAccess({sysex: true});
//   Module.orventMidiAccessError  instead, what that request threw (or its name as a
//                                 string) when the browser refused or has no Web MIDI.
// What this half leaves there for the page, after every listing and open:
//   Module.orventMidiProblem      "" when the access is usable, else "refused" (System
//                                 Exclusive refused: NotAllowedError, SecurityError, or an
//                                 access without sysex), "unsupported" (no requestMIDIAccess
//                                 at all, InvalidStateError, NotSupportedError or any other
//                                 refusal), "no-access" (the page gave neither), "gone" (a
//                                 port went away), "busy" (another program holds a port).
// The same causes come back as error numbers from RawMidiOpen, RawMidiRead and RawMidiWrite:
// EACCES refused, ENOTSUP unsupported, ENODEV no access or a port gone, EBUSY busy, EIO any
// other failure of the browser. Without an access the listing is empty, so MidiOpen only
// says that the port does not exist: the page tells why from orventMidiProblem.
//
// An input and an output of the same name are the two ways of one instrument's port and
// are listed as one port that goes both ways; any other input or output is a port of its
// own. A port's id is "web:N", N a number the half gives each pair for as long as the page
// lives, so that an id read from one listing still names the same ports at the open.
//
// The browser hands over each incoming message whole; the bytes wait in a queue until
// RawMidiRead takes them. A read takes what is queued without suspending the caller's
// stack and suspends (EM_ASYNC_JS) only when nothing is, until bytes come, the port goes
// away or the time is up. The open suspends while the browser opens the ports. Sending
// never waits: the browser queues what it is given.
#include "midi/midi_rawmidi.h"

#include "platform/text.h"

#include <emscripten.h>

#include <cerrno>
#include <cstring>

// The script side's answers beside counts and handles; the script has no errno.h, so the
// numbers are turned into error numbers here (ErrorNumber).
#define WEB_MIDI_GONE (-1)
#define WEB_MIDI_NOT_OPEN (-2)
#define WEB_MIDI_REFUSED (-3)
#define WEB_MIDI_UNSUPPORTED (-4)
#define WEB_MIDI_BUSY (-5)
#define WEB_MIDI_FAILED (-6)
#define WEB_MIDI_NO_ACCESS (-7)
#define WEB_MIDI_BAD_DATA (-8)

#define WEB_MIDI_ID_PREFIX "web:"
#define WEB_MIDI_ID_PREFIX_SIZE 4

// The script side is JavaScript, which the formatter would take for C++.
// clang-format off
// The half's own state lives on the module object, where every function below finds it.
// wait(ms) is the platform's timer (Module.orventDelay of platform_thread_web.cpp, driven
// from a worker: a hidden tab holds the page's own timers to one a second).
EM_JS(void, WebMidiJsSetUp, (void), {
    if (Module['orventMidiHalf']) {
        return;
    }
    var s = {numbers : new Map(), next : 0, byNumber : [], handles : [], nextHandle : 1};
    s.note = function(problem) { Module['orventMidiProblem'] = problem; };
    s.note("");
    s.wait = function(ms) { return Module.orventDelay(ms); };
    // The access, or the code of why there is none.
    s.access = function() {
        var access = Module['orventMidiAccess'];
        if (access && access.inputs && access.outputs) {
            if (access.sysexEnabled === false) {
                s.note('refused');
                return -3;
            }
            return access;
        }
        var error = Module['orventMidiAccessError'];
        var name = error ? (typeof error === 'string' ? error : String(error.name || 'Error')) : "";
        if (name === 'NotAllowedError' || name === 'SecurityError') {
            s.note('refused');
            return -3;
        }
        if (name || typeof navigator === 'undefined' ||
            typeof navigator.requestMIDIAccess !== 'function') {
            s.note('unsupported');
            return -4;
        }
        s.note('no-access');
        return -7;
    };
    // What a failed call of the browser means.
    s.failure = function(error) {
        var name = error && error.name ? String(error.name) : 'Error';
        if (name === 'NotAllowedError' || name === 'SecurityError' ||
            name === 'InvalidAccessError' && /sysex|exclusive/i.test(String(error.message))) {
            s.note('refused');
            return -3;
        }
        if (name === 'InvalidAccessError') {
            s.note('busy');
            return -5;
        }
        if (name === 'InvalidStateError' || name === 'NotFoundError') {
            s.note('gone');
            return -1;
        }
        if (name === 'NotSupportedError') {
            s.note('unsupported');
            return -4;
        }
        if (name === 'TypeError') {
            return -8;
        }
        s.note(name);
        return -6;
    };
    s.connected = function(port) { return port && port.state !== 'disconnected'; };
    s.pair = function(input, output) {
        var key = (input ? input.id : "") + '\n' + (output ? output.id : "");
        var number = s.numbers.get(key);
        if (number === undefined) {
            number = s.next++;
            s.numbers.set(key, number);
        }
        s.byNumber[number] = {input : input, output : output};
        return {number : number, input : input, output : output};
    };
    Module['orventMidiHalf'] = s;
});

// Only one stack can be suspended at a time: a call that would suspend while another stack
// is (a call from the page's script during an update) fails at once instead.
EM_JS(int, WebMidiJsMaySuspend, (void), {
    return typeof Asyncify === "undefined" || !Asyncify.currData ? 1 : 0;
});

// Takes a snapshot of the connected ports, paired by name; their count.
EM_JS(int, WebMidiJsList, (void), {
    var s = Module['orventMidiHalf'];
    s.listed = [];
    var access = s.access();
    if (typeof access === 'number') {
        return 0;
    }
    s.note("");
    var outputs = [];
    access.outputs.forEach(function(output) {
        if (s.connected(output)) {
            outputs.push(output);
        }
    });
    var paired = [];
    access.inputs.forEach(function(input) {
        if (!s.connected(input)) {
            return;
        }
        var match = -1;
        for (var i = 0; i < outputs.length; i++) {
            if (!paired[i] && outputs[i].name === input.name) {
                match = i;
                break;
            }
        }
        if (match >= 0) {
            paired[match] = true;
        }
        s.listed.push(s.pair(input, match >= 0 ? outputs[match] : null));
    });
    outputs.forEach(function(output, i) {
        if (!paired[i]) {
            s.listed.push(s.pair(null, output));
        }
    });
    return s.listed.length;
});

// Entry `index` of the snapshot: its name into name, its number into *number; the ways it
// goes (1 in, 2 out).
EM_JS(int, WebMidiJsListed, (int index, char* name, int nameSize, int* number), {
    var entry = Module['orventMidiHalf'].listed[index];
    var port = entry.input || entry.output;
    stringToUTF8(String(port.name || ""), name, nameSize);
    HEAP32[number >> 2] = entry.number;
    return (entry.input ? 1 : 0) | (entry.output ? 2 : 0);
});

EM_ASYNC_JS(int, WebMidiJsOpen, (int number, int directions), {
    var s = Module['orventMidiHalf'];
    var access = s.access();
    if (typeof access === 'number') {
        return access;
    }
    var entry = s.byNumber[number];
    var input = entry && (directions & 1) ? entry.input : null;
    var output = entry && (directions & 2) ? entry.output : null;
    if (!entry || ((directions & 1) && !input) || ((directions & 2) && !output) ||
        (input && !s.connected(input)) || (output && !s.connected(output))) {
        s.note('gone');
        return -1;
    }
    try {
        // Explicitly, not on first use: a port another program holds says so here.
        if (input && input.connection !== 'open' && typeof input.open === 'function') {
            await input.open();
        }
        if (output && output.connection !== 'open' && typeof output.open === 'function') {
            await output.open();
        }
    } catch (error) {
        return s.failure(error);
    }
    var h = {input : input, output : output, queue : [], at : 0, gone : false, wake : null};
    h.poke = function() {
        if (h.wake) {
            h.wake();
        }
    };
    h.onMessage = function(event) {
        if (event.data && event.data.length > 0) {
            h.queue.push(new Uint8Array(event.data));
            h.poke();
        }
    };
    h.onState = function() {
        if (!s.connected(h.input) && h.input || !s.connected(h.output) && h.output) {
            h.gone = true;
            s.note('gone');
            h.poke();
        }
    };
    [ input, output ].forEach(function(port) {
        if (port && typeof port.addEventListener === 'function') {
            port.addEventListener('statechange', h.onState);
        }
    });
    if (input) {
        input.addEventListener('midimessage', h.onMessage);
    }
    var handle = s.nextHandle++;
    s.handles[handle] = h;
    s.note("");
    return handle;
});

// Copies what is queued, up to capacity bytes: the count; 0 when nothing is; the port's
// end (gone, not open for input) only once its last bytes are taken.
EM_JS(int, WebMidiJsTake, (int handle, unsigned char* bytes, int capacity), {
    var h = Module['orventMidiHalf'].handles[handle];
    if (!h || !h.input) {
        return -2;
    }
    var taken = Module.orventTakeQueued(h, bytes, capacity);
    if (taken === 0 && (h.gone || !Module['orventMidiHalf'].connected(h.input))) {
        return -1;
    }
    return taken;
});

// Suspends until bytes come, the port goes away or timeoutMs pass.
EM_ASYNC_JS(void, WebMidiJsWait, (int handle, int timeoutMs), {
    var s = Module['orventMidiHalf'];
    var h = s.handles[handle];
    if (!h || h.queue.length > 0 || h.gone) {
        return;
    }
    await Module.orventWakeOrDelay(h, timeoutMs);
});

EM_JS(int, WebMidiJsSend, (int handle, const unsigned char* bytes, int length), {
    var s = Module['orventMidiHalf'];
    var h = s.handles[handle];
    if (!h || !h.output) {
        return -2;
    }
    if (h.gone || !s.connected(h.output)) {
        return -1;
    }
    try {
        h.output.send(HEAPU8.slice(bytes, bytes + length));
    } catch (error) {
        return s.failure(error);
    }
    return 1;
});

EM_JS(void, WebMidiJsClose, (int handle), {
    var s = Module['orventMidiHalf'];
    var h = s.handles[handle];
    if (!h) {
        return;
    }
    delete s.handles[handle];
    [ h.input, h.output ].forEach(function(port) {
        if (!port) {
            return;
        }
        if (typeof port.removeEventListener === 'function') {
            port.removeEventListener('statechange', h.onState);
            if (port === h.input) {
                port.removeEventListener('midimessage', h.onMessage);
            }
        }
        // The browser has handed what was sent to the system already; nobody waits for
        // the close.
        if (typeof port.close === 'function') {
            Promise.resolve(port.close()).catch(function() {});
        }
    });
    h.gone = true;
    h.poke();
});
// clang-format on

namespace {

int ErrorNumber(int code) {
    switch (code) {
    case WEB_MIDI_GONE:
    case WEB_MIDI_NO_ACCESS:
        return ENODEV;
    case WEB_MIDI_NOT_OPEN:
        return EBADF;
    case WEB_MIDI_REFUSED:
        return EACCES;
    case WEB_MIDI_UNSUPPORTED:
        return ENOTSUP;
    case WEB_MIDI_BUSY:
        return EBUSY;
    case WEB_MIDI_BAD_DATA:
        return EINVAL;
    default:
        return EIO;
    }
}

// The number of a "web:N" id; -1 for any other name.
int PortNumber(const char* device) {
    if (device == nullptr || strncmp(device, WEB_MIDI_ID_PREFIX, WEB_MIDI_ID_PREFIX_SIZE) != 0) {
        return -1;
    }
    const char* p = device + WEB_MIDI_ID_PREFIX_SIZE;
    int number = 0;
    if (*p == '\0') {
        return -1;
    }
    for (; *p != '\0'; p++) {
        if (*p < '0' || *p > '9' || number > 9999999) {
            return -1;
        }
        number = number * 10 + (*p - '0');
    }
    return number;
}

} // namespace

int RawMidiListPorts(RawMidiPortInfo* ports, int capacity) {
    WebMidiJsSetUp();
    const int count = WebMidiJsList();
    for (int i = 0; ports != nullptr && i < count && i < capacity; i++) {
        RawMidiPortInfo& port = ports[i];
        int number = 0;
        const int ways = WebMidiJsListed(i, port.name, (int)sizeof port.name, &number);
        port.card = 0;
        port.device = number;
        port.subdevice = 0;
        port.canInput = (ways & RAWMIDI_INPUT) != 0;
        port.canOutput = (ways & RAWMIDI_OUTPUT) != 0;
        TextFormat(port.id, sizeof port.id, WEB_MIDI_ID_PREFIX "%d", number);
    }
    return count;
}

int RawMidiOpen(const char* device, int directions, RawMidiHandle* handle, int* error) {
    *handle = RAWMIDI_NO_HANDLE;
    WebMidiJsSetUp();
    const int number = PortNumber(device);
    if (number < 0 || (directions & (RAWMIDI_INPUT | RAWMIDI_OUTPUT)) == 0) {
        *error = ENODEV;
        return 0;
    }
    if (!WebMidiJsMaySuspend()) {
        *error = EBUSY;
        return 0;
    }
    const int opened = WebMidiJsOpen(number, directions & (RAWMIDI_INPUT | RAWMIDI_OUTPUT));
    if (opened <= 0) {
        *error = ErrorNumber(opened);
        return 0;
    }
    *handle = (RawMidiHandle)opened;
    return 1;
}

int RawMidiRead(RawMidiHandle handle, unsigned char* bytes, int capacity, int timeoutMs) {
    if (handle == RAWMIDI_NO_HANDLE || bytes == nullptr || capacity <= 0) {
        return -EBADF;
    }
    int n = WebMidiJsTake((int)handle, bytes, capacity);
    if (n == 0 && timeoutMs > 0) {
        if (!WebMidiJsMaySuspend()) {
            return -EBUSY;
        }
        WebMidiJsWait((int)handle, timeoutMs);
        n = WebMidiJsTake((int)handle, bytes, capacity);
    }
    return n < 0 ? -ErrorNumber(n) : n;
}

int RawMidiWrite(RawMidiHandle handle, const unsigned char* bytes, int length) {
    if (handle == RAWMIDI_NO_HANDLE) {
        return -EBADF;
    }
    if (bytes == nullptr || length < 0) {
        return -EINVAL;
    }
    if (length == 0) {
        return 1;
    }
    const int sent = WebMidiJsSend((int)handle, bytes, length);
    return sent == 1 ? 1 : -ErrorNumber(sent);
}

void RawMidiClose(RawMidiHandle handle) {
    if (handle == RAWMIDI_NO_HANDLE) {
        return;
    }
    WebMidiJsClose((int)handle);
}
