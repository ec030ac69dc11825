#include "transports/serial_port.h"

#include "platform/text.h"
#include "transports/serial_port_os.h"
#include "transports/sysex.h"

#include <atomic>

#define MIDI_TIMING_CLOCK 0xF8
#define MIDI_SYSTEM_RESET 0xFF

// The one port of the process; only the main window's thread opens and closes it, and
// the protocol never reads and writes it from two threads at once, so it takes no lock.
static SerialHandle s_port = SERIAL_NO_HANDLE;

// Set by the user's stop from the main window's thread while the update thread receives.
static std::atomic<int> s_receiveAborted{0};

void SerialProbePorts(unsigned char* portPresent) {
    for (int n = 1; n <= SERIAL_PORT_COUNT; n++) {
        portPresent[n - 1] = 0;
        SerialHandle port = SerialOsOpen(n);
        if (port == SERIAL_NO_HANDLE) {
            continue;
        }
        // A device that opens but has no line settings is no serial port.
        if (SerialOsGetLineSettings(port)) {
            portPresent[n - 1] = 1;
        }
        SerialOsClose(port);
    }
}

int SerialOpen(int portNumber, int baudRate, char* errorText) {
    // The caller closes every transport before it opens one; should it not, the port it
    // left open would otherwise be lost here and stay blocked until the program ends.
    SerialClose();

    SerialHandle port = SERIAL_NO_HANDLE;
    if (portNumber >= 1 && portNumber <= SERIAL_PORT_COUNT) {
        port = SerialOsOpen(portNumber);
    }
    if (port == SERIAL_NO_HANDLE) {
        TextCopy(errorText, PATH_SIZE, "Comm Port Open Error!(CreateFile)");
        return 0;
    }
    if (!SerialOsGetLineSettings(port)) {
        TextCopy(errorText, PATH_SIZE, "Comm Port Open Error!(GetCommState)");
        SerialOsClose(port);
        return 0;
    }
    if (!SerialOsSetLineSettings(port, baudRate)) {
        TextCopy(errorText, PATH_SIZE, "Comm Port Open Error!(SetCommState)");
        SerialOsClose(port);
        return 0;
    }
    // Without its time-outs the port still works, only a silent instrument is noticed
    // later; the open stands either way.
    SerialOsSetTimeouts(port, SERIAL_READ_SLICE_MS, SERIAL_IO_TIMEOUT_MS);
    s_receiveAborted.store(0);
    s_port = port;
    return 1;
}

int SerialSend(const unsigned char* data, int length) {
    if (s_port == SERIAL_NO_HANDLE || length < 0 || (data == nullptr && length > 0)) {
        return 0;
    }
    // A write that stops short (the time-out ran out with bytes still queued) is a
    // failure: the instrument got a cut message and will never answer it.
    return SerialOsWrite(s_port, data, length) == 1 ? 1 : 0;
}

int SerialReceive(unsigned char* buffer, int maxLength) {
    if (s_port == SERIAL_NO_HANDLE || buffer == nullptr || maxLength < 1) {
        return 0;
    }
    int count = 0;
    int silentMs = 0;
    for (;;) {
        if (s_receiveAborted.load()) {
            return -2;
        }
        unsigned char byte = 0;
        int got = SerialOsReadByte(s_port, &byte);
        if (got < 0) {
            return 0;
        }
        if (got == 0) {
            silentMs += SERIAL_READ_SLICE_MS;
            if (silentMs >= SERIAL_IO_TIMEOUT_MS) {
                return -1;
            }
            continue;
        }
        silentMs = 0;
        if (count == 0) {
            // Outside a message 0x00 ends the wait like a time-out; any other byte there is
            // line noise or the rest of an earlier message that did not fit the buffer.
            if (byte == 0x00) {
                return -1;
            }
            if (byte != SYSEX_START) {
                continue;
            }
        }
        if (byte == SYSEX_END) {
            // count < maxLength here, so the end byte always has room behind the message.
            buffer[count] = byte;
            return 1;
        }
        // Real-time bytes may be sent in the middle of a message; they belong to none.
        if (byte == MIDI_TIMING_CLOCK || byte == MIDI_SYSTEM_RESET) {
            continue;
        }
        buffer[count] = byte;
        count++;
        if (count >= maxLength) {
            return 1;
        }
    }
}

void SerialAbortReceive(void) {
    s_receiveAborted.store(1);
}

void SerialClose(void) {
    if (s_port == SERIAL_NO_HANDLE) {
        return;
    }
    SerialOsClose(s_port);
    s_port = SERIAL_NO_HANDLE;
}
