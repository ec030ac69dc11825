// The serial port in the browser: Web Serial over the SerialPort the user chose.
//
// The page puts the port it got from navigator.serial.requestPort() on the module as
// Module.orventSerialPort before it asks for an open; that port is COM1, and COM2 to COM4
// do not exist (the browser hands out no port but through its chooser, which needs the
// user's click). After every open, and when the port fails, this half leaves the name of
// what the browser said in Module.orventSerialProblem: "" when all went well, "no-port"
// when the page gave none, "gone" when the port went away, else the browser's error name
// (NetworkError: another program holds the port; InvalidStateError: it is open already).
//
// Web Serial takes the bit rate when it opens a port, where Windows sets it afterwards:
// the open opens at the rate used last (57600 at first, the rate the settings start with)
// and the line settings open the port again only when they ask for another rate, so that a
// port in use still fails at the open, as it does on Windows.
//
// While the port is open the script side reads it all the time into a queue. A read takes
// a byte from what is queued without suspending the caller's stack, and suspends
// (EM_ASYNC_JS) only when nothing is, until bytes come, the port goes away or the read's
// time-out passes. Writes and the open suspend while the browser works; a close is not
// waited for, but the next open waits until it is done.
#include "transports/serial_port_os.h"

#include <emscripten.h>

#define SERIAL_WEB_READ_ROOM 256
#define SERIAL_WEB_FIRST_RATE 57600
// The one port the browser gave: its handle while open.
#define SERIAL_WEB_HANDLE ((SerialHandle)1)

// The script side's answers.
#define SERIAL_WEB_OK 1
#define SERIAL_WEB_TIMED_OUT 0
#define SERIAL_WEB_FAILED (-1)

struct SerialWeb {
    int open;
    int rate; // the rate the port is open at
    int readTimeoutMs;
    int writeTimeoutMs;
    // Bytes taken from the queue in one go and handed out one per read.
    unsigned char bytes[SERIAL_WEB_READ_ROOM];
    int at;
    int count;
};

static SerialWeb s_web = {
    0, SERIAL_WEB_FIRST_RATE, SERIAL_IO_TIMEOUT_MS, SERIAL_IO_TIMEOUT_MS, {0}, 0, 0};

// The script side is JavaScript, which the formatter would take for C++.
// clang-format off
// The half's own state lives on the module object. wait(ms) is the platform's timer
// (Module.orventDelay of platform_thread_web.cpp, driven from a worker: a hidden tab holds
// the page's own timers to one a second).
EM_JS(void, SerialWebJsSetUp, (void), {
    if (Module['orventSerialHalf']) {
        return;
    }
    var s = {port : null, reader : null, writer : null, queue : [], at : 0, gone : false,
             wake : null, generation : 0, pumping : null, closing : null};
    s.note = function(problem) { Module['orventSerialProblem'] = problem; };
    s.note("");
    s.wait = function(ms) { return Module.orventDelay(ms); };
    s.poke = function() {
        if (s.wake) {
            s.wake();
        }
    };
    s.lost = function() {
        s.gone = true;
        s.note("gone");
        s.poke();
    };
    // Reads the port into the queue until it closes. A line error (break, framing, parity,
    // overrun) leaves a new stream to read on; a port that went away leaves none.
    s.pump = async function(port, generation) {
        while (s.generation === generation) {
            var reader = null;
            try {
                reader = port.readable.getReader();
            } catch (error) {
                s.lost();
                return;
            }
            s.reader = reader;
            var ended = false;
            try {
                for (;;) {
                    var got = await reader.read();
                    if (got.done) {
                        ended = true;
                        break;
                    }
                    if (got.value && got.value.length > 0) {
                        s.queue.push(got.value);
                        s.poke();
                    }
                }
            } catch (error) {
            } finally {
                try {
                    reader.releaseLock();
                } catch (error) {
                }
                s.reader = null;
            }
            if (s.generation !== generation) {
                return;
            }
            if (ended || !port.readable) {
                s.lost();
                return;
            }
        }
    };
    s.start = async function(rate) {
        var port = Module['orventSerialPort'];
        if (!port || typeof port.open !== 'function') {
            s.note("no-port");
            return -1;
        }
        try {
            await port.open({baudRate : rate, dataBits : 8, parity : "none", stopBits : 1});
        } catch (error) {
            s.note(String(error && error.name || "Error"));
            return -1;
        }
        s.port = port;
        s.queue = [];
        s.at = 0;
        s.gone = false;
        var generation = ++s.generation;
        try {
            s.writer = port.writable.getWriter();
        } catch (error) {
            s.writer = null;
        }
        s.pumping = s.pump(port, generation);
        s.note("");
        return 1;
    };
    s.stop = async function() {
        var port = s.port;
        s.generation++;
        s.port = null;
        s.queue = [];
        s.at = 0;
        s.poke();
        if (!port) {
            return;
        }
        if (s.reader) {
            try {
                await s.reader.cancel();
            } catch (error) {
            }
        }
        if (s.pumping) {
            await s.pumping;
            s.pumping = null;
        }
        if (s.writer) {
            try {
                s.writer.releaseLock();
            } catch (error) {
            }
            s.writer = null;
        }
        try {
            await port.close();
        } catch (error) {
        }
    };
    // Lets a close still under way end first, for at most limitMs: a write the line never
    // takes would otherwise hold it up for good.
    s.settle = async function(limitMs) {
        if (s.closing) {
            await Promise.race([ s.closing, s.wait(limitMs) ]);
            s.closing = null;
        }
    };
    Module['orventSerialHalf'] = s;
});

// Only one stack can be suspended at a time: a call that would suspend while another stack
// is (a call from the page's script during an update) fails at once instead.
EM_JS(int, SerialWebJsMaySuspend, (void), {
    return typeof Asyncify === "undefined" || !Asyncify.currData ? 1 : 0;
});

EM_ASYNC_JS(int, SerialWebJsOpen, (int rate, int settleMs), {
    var s = Module['orventSerialHalf'];
    await s.settle(settleMs);
    if (s.port) {
        s.note("InvalidStateError");
        return -1;
    }
    return await s.start(rate);
});

// Opens the port again at another rate.
EM_ASYNC_JS(int, SerialWebJsReopen, (int rate), {
    var s = Module['orventSerialHalf'];
    await s.stop();
    return await s.start(rate);
});

// Drops what came before the line was set, as a COM port that has just been set up holds
// nothing.
EM_JS(void, SerialWebJsFlush, (void), {
    var s = Module['orventSerialHalf'];
    s.queue = [];
    s.at = 0;
});

// Copies what is queued, up to capacity bytes: the count, 0 when nothing is, -1 when the
// port has gone and its last bytes are taken.
EM_JS(int, SerialWebJsTake, (unsigned char* bytes, int capacity), {
    var s = Module['orventSerialHalf'];
    var taken = Module.orventTakeQueued(s, bytes, capacity);
    if (taken === 0 && (s.gone || !s.port)) {
        return -1;
    }
    return taken;
});

// Suspends until bytes come, the port goes away or timeoutMs pass.
EM_ASYNC_JS(void, SerialWebJsWait, (int timeoutMs), {
    var s = Module['orventSerialHalf'];
    if (s.queue.length > 0 || s.gone || !s.port) {
        return;
    }
    await Module.orventWakeOrDelay(s, timeoutMs);
});

// 1 when the line took every byte, 0 when the time ran out first, -1 when the write failed.
EM_ASYNC_JS(int, SerialWebJsWrite, (const unsigned char* data, int length, int timeoutMs), {
    var s = Module['orventSerialHalf'];
    if (!s.writer || s.gone) {
        return -1;
    }
    var bytes = HEAPU8.slice(data, data + length);
    try {
        return await Promise.race([
            s.writer.write(bytes).then(function() { return 1; }),
            s.wait(timeoutMs).then(function() { return 0; })
        ]);
    } catch (error) {
        s.note(String(error && error.name || "Error"));
        return -1;
    }
});

EM_JS(void, SerialWebJsClose, (void), {
    var s = Module['orventSerialHalf'];
    s.closing = s.stop();
});
// clang-format on

SerialHandle SerialOsOpen(int portNumber) {
    // One port at a time, and only the one the user chose.
    if (portNumber != 1 || s_web.open) {
        return SERIAL_NO_HANDLE;
    }
    SerialWebJsSetUp();
    if (!SerialWebJsMaySuspend() ||
        SerialWebJsOpen(s_web.rate, s_web.writeTimeoutMs) != SERIAL_WEB_OK) {
        return SERIAL_NO_HANDLE;
    }
    s_web.open = 1;
    s_web.at = 0;
    s_web.count = 0;
    return SERIAL_WEB_HANDLE;
}

int SerialOsGetLineSettings(SerialHandle port) {
    return port == SERIAL_WEB_HANDLE && s_web.open;
}

int SerialOsSetLineSettings(SerialHandle port, int baudRate) {
    if (port != SERIAL_WEB_HANDLE || !s_web.open || baudRate <= 0) {
        return 0;
    }
    if (baudRate != s_web.rate) {
        if (!SerialWebJsMaySuspend() || SerialWebJsReopen(baudRate) != SERIAL_WEB_OK) {
            // The port is closed now; the caller's close only tidies up.
            return 0;
        }
        s_web.rate = baudRate;
    }
    SerialWebJsFlush();
    s_web.at = 0;
    s_web.count = 0;
    return 1;
}

int SerialOsSetTimeouts(SerialHandle port, int readMs, int writeMs) {
    if (port != SERIAL_WEB_HANDLE || readMs < 0 || writeMs < 0) {
        return 0;
    }
    s_web.readTimeoutMs = readMs;
    s_web.writeTimeoutMs = writeMs;
    return 1;
}

int SerialOsReadByte(SerialHandle port, unsigned char* byte) {
    if (port != SERIAL_WEB_HANDLE || !s_web.open) {
        return -1;
    }
    if (s_web.at >= s_web.count) {
        int n = SerialWebJsTake(s_web.bytes, SERIAL_WEB_READ_ROOM);
        if (n == 0 && s_web.readTimeoutMs > 0) {
            if (!SerialWebJsMaySuspend()) {
                return -1;
            }
            SerialWebJsWait(s_web.readTimeoutMs);
            n = SerialWebJsTake(s_web.bytes, SERIAL_WEB_READ_ROOM);
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        s_web.at = 0;
        s_web.count = n;
    }
    *byte = s_web.bytes[s_web.at++];
    return 1;
}

int SerialOsWrite(SerialHandle port, const unsigned char* data, int length) {
    if (port != SERIAL_WEB_HANDLE || !s_web.open || length < 0 || (data == nullptr && length > 0)) {
        return 0;
    }
    if (length == 0) {
        return 1;
    }
    return SerialWebJsMaySuspend() &&
           SerialWebJsWrite(data, length, s_web.writeTimeoutMs) == SERIAL_WEB_OK;
}

void SerialOsClose(SerialHandle port) {
    if (port != SERIAL_WEB_HANDLE || !s_web.open) {
        return;
    }
    s_web.open = 0;
    s_web.at = 0;
    s_web.count = 0;
    SerialWebJsClose();
}
