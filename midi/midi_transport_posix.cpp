// The MIDI transport on the system's raw MIDI ports (midi/midi_rawmidi.h): opening the
// instrument's two ports, and System Exclusive messages in both directions. A raw port
// carries a plain byte stream, so the messages the Windows MIDI service hands over in
// buffers of their own are put together here, byte by byte.
#include "midi/midi_transport.h"
#include "midi/midi_transport_posix.h"

#include "midi/midi_rawmidi.h"
#include "platform/platform_thread.h"
#include "platform/text.h"
#include "transports/sysex.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

#define MIDI_OPEN_TEXT_SIZE PATH_SIZE // the open operations' error texts hold 260 bytes
#define MIDI_WAIT_US 10000            // one tick
#define MIDI_LISTED_PORTS 64          // the ports looked through for a name
#define MIDI_READ_SIZE 256            // bytes taken from the port at a time
// The longest message put together: a reply buffer's worth. Longer ones are dropped.
#define MIDI_MESSAGE_SIZE 1024
#define MIDI_LAST_READS 64        // reads of what the port holds once the time is up
#define MIDI_REAL_TIME_FIRST 0xF8 // 0xF8 .. 0xFF may come anywhere, even inside a message
// How long the first request waits for bytes still on their way in before it drops them: a
// device hands over what it held only once its port is read.
#define MIDI_DROP_WAIT_MS 10

struct MidiTransport {
    RawMidiHandle input;
    RawMidiHandle output; // the same handle as input when one port serves both ways
    // Bytes read from the port and not yet examined: what follows a message stays for
    // the next receive, as a reply that came late does.
    unsigned char readBytes[MIDI_READ_SIZE];
    int readStart;
    int readEnd;
    // The message being put together.
    unsigned char message[MIDI_MESSAGE_SIZE];
    int messageLength; // 0: between messages
    int messageTooLong;
    std::atomic<int> aborted; // set by MidiAbortReceive until the next open
    int firstRequest;         // 1 from the open until the first MidiSend
    // Why the last read or write failed (errno values), 0 since the open; after a failed
    // open, why the open failed. Written by the thread that drives the protocol, read by
    // the program once that thread has ended.
    std::atomic<int> portError;
    RawMidiPortInfo ports[MIDI_LISTED_PORTS];
};

MidiTransport g_midiTransport;

uint64_t ElapsedUs(uint64_t start) {
    const uint64_t now = PlatformMonotonicUs();
    return now > start ? now - start : 0;
}

// "hw:C,D" (*subdevice -1) or "hw:C,D,S", decimal numbers and nothing else.
int ParseHwName(const char* name, int* card, int* device, int* subdevice) {
    int numbers[3] = {-1, -1, -1};
    if (strncmp(name, "hw:", 3) != 0) {
        return 0;
    }
    const char* p = name + 3;
    int count = 0;
    while (count < 3) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        int value = 0;
        while (*p >= '0' && *p <= '9') {
            if (value > 99999) {
                return 0;
            }
            value = value * 10 + (*p - '0');
            p++;
        }
        numbers[count++] = value;
        if (*p == '\0') {
            break;
        }
        if (*p != ',') {
            return 0;
        }
        p++;
    }
    if (*p != '\0' || count < 2) {
        return 0;
    }
    *card = numbers[0];
    *device = numbers[1];
    *subdevice = numbers[2];
    return 1;
}

int CanGo(const RawMidiPortInfo& port, int direction) {
    return direction == RAWMIDI_INPUT ? port.canInput : port.canOutput;
}

// Finds the port a name stands for, going the given direction, and gives the device
// name to open it by. A "hw:" name opens as it is written (without a subdevice the
// system takes any free one); a port's name opens by its listed id. 0 when no listed
// port fits.
int ResolvePort(const char* name, int direction, char* device, size_t deviceSize) {
    MidiTransport& t = g_midiTransport;
    int listed = RawMidiListPorts(t.ports, MIDI_LISTED_PORTS);
    if (listed > MIDI_LISTED_PORTS) {
        listed = MIDI_LISTED_PORTS;
    }
    int card;
    int deviceNumber;
    int subdevice;
    if (ParseHwName(name, &card, &deviceNumber, &subdevice)) {
        for (int i = 0; i < listed; i++) {
            const RawMidiPortInfo& port = t.ports[i];
            if (port.card == card && port.device == deviceNumber &&
                (subdevice < 0 || port.subdevice == subdevice) && CanGo(port, direction)) {
                if (subdevice < 0) {
                    TextFormat(device, deviceSize, "hw:%d,%d", card, deviceNumber);
                } else {
                    TextFormat(device, deviceSize, "hw:%d,%d,%d", card, deviceNumber, subdevice);
                }
                return 1;
            }
        }
        return 0;
    }
    for (int i = 0; i < listed; i++) {
        const RawMidiPortInfo& port = t.ports[i];
        if (name[0] != '\0' && strcmp(port.name, name) == 0 && CanGo(port, direction)) {
            TextCopy(device, deviceSize, port.id);
            return 1;
        }
    }
    return 0;
}

void ForgetStream(void) {
    MidiTransport& t = g_midiTransport;
    t.readStart = 0;
    t.readEnd = 0;
    t.messageLength = 0;
    t.messageTooLong = 0;
}

// Examines the bytes read so far up to the end of the next whole message. 1 with the
// message in buffer (and a zero byte after it when there is room); 0 when the bytes ran
// out first, the message begun so far kept for the next bytes.
int TakeMessage(unsigned char* buffer, int capacity) {
    MidiTransport& t = g_midiTransport;
    while (t.readStart < t.readEnd) {
        unsigned char byte = t.readBytes[t.readStart++];
        if (byte >= MIDI_REAL_TIME_FIRST) {
            continue; // clock, active sensing and the like: no part of any message
        }
        if (byte == SYSEX_START) {
            // Also ends a message still open: it never got its end byte.
            t.message[0] = byte;
            t.messageLength = 1;
            t.messageTooLong = 0;
            continue;
        }
        if (t.messageLength == 0) {
            continue; // channel messages, their running-status data, system common, junk
        }
        if (byte == SYSEX_END) {
            // Room for the end byte is always kept, so a message that is not too long
            // fits the buffer whole.
            int length = t.messageLength + 1;
            int whole = !t.messageTooLong && length <= capacity;
            t.messageLength = 0;
            if (whole) {
                // A message cut to fit would be taken for a different one: only whole
                // ones are handed on.
                t.message[length - 1] = byte;
                memcpy(buffer, t.message, (size_t)length);
                if (length < capacity) {
                    buffer[length] = 0;
                }
                return 1;
            }
            continue;
        }
        if (byte & 0x80) {
            t.messageLength = 0; // another status byte: the message was broken off
            continue;
        }
        if (t.messageLength < MIDI_MESSAGE_SIZE - 1) {
            t.message[t.messageLength++] = byte;
        } else {
            t.messageTooLong = 1;
        }
    }
    return 0;
}

// Reads what the port has within waitMs into the bytes to examine: how many came, 0 when
// none did, -1 when the port failed (unplugged), with the system's reason kept. Without an
// input port the wait passes as silence.
int ReadPort(uint32_t waitMs) {
    MidiTransport& t = g_midiTransport;
    if (t.input == RAWMIDI_NO_HANDLE) {
        if (waitMs > 0) {
            PlatformSleep(waitMs);
        }
        return 0;
    }
    const int n = RawMidiRead(t.input, t.readBytes, MIDI_READ_SIZE, (int)waitMs);
    if (n < 0) {
        t.portError.store(-n);
        return -1;
    }
    t.readStart = 0;
    t.readEnd = n;
    return n;
}

// What the port holds before the run's first request answers nothing of this run (a reply
// to what a stopped run sent came after it closed the port): it goes, with any message
// begun in it. Bounded, for a port that never stops sending.
void DropWhatCameBefore(void) {
    int reads = 0;
    while (reads < MIDI_LAST_READS && ReadPort(MIDI_DROP_WAIT_MS) > 0) {
        reads++;
    }
    ForgetStream();
}

void CloseHandles(void) {
    MidiTransport& t = g_midiTransport;
    if (t.output != RAWMIDI_NO_HANDLE && t.output != t.input) {
        RawMidiClose(t.output);
    }
    if (t.input != RAWMIDI_NO_HANDLE) {
        RawMidiClose(t.input);
    }
    t.input = RAWMIDI_NO_HANDLE;
    t.output = RAWMIDI_NO_HANDLE;
}

int FailOpen(void) {
    CloseHandles();
    return 0;
}

} // namespace

// The system's error numbers carry their own texts; strerror is the portable way to them.
void MidiErrorText(unsigned int code, char* text, int textSize) {
    if (text == nullptr || textSize <= 0) {
        return;
    }
    TextCopy(text, (size_t)textSize, strerror((int)code));
}

// onlyMavoDriver has no meaning here: the ports come from the system's own USB-MIDI
// driver, never from a maker's, so there is no driver to insist on or check the version
// of.
int MidiOpen(const char* outputPortName, const char* inputPortName, char* errorText,
             int onlyMavoDriver) {
    (void)onlyMavoDriver;
    MidiTransport& t = g_midiTransport;
    if (outputPortName == nullptr) {
        outputPortName = "";
    }
    if (inputPortName == nullptr) {
        inputPortName = "";
    }
    // An open transport would lose its ports to the new ones for good.
    MidiClose();

    char outDevice[RAWMIDI_ID_SIZE];
    char inDevice[RAWMIDI_ID_SIZE];
    if (!ResolvePort(outputPortName, RAWMIDI_OUTPUT, outDevice, sizeof outDevice)) {
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi out port is not exist : %s",
                   outputPortName);
        t.portError.store(ENODEV);
        return 0;
    }
    if (!ResolvePort(inputPortName, RAWMIDI_INPUT, inDevice, sizeof inDevice)) {
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi in port is not exist : %s", inputPortName);
        t.portError.store(ENODEV);
        return 0;
    }

    // One port for both ways opens once: a second open of it for the other way may be
    // refused while the first is held.
    int shared = strcmp(outDevice, inDevice) == 0;
    char codeText[TEXT_SIZE];
    int error = 0;
    int inDirections = shared ? RAWMIDI_INPUT | RAWMIDI_OUTPUT : RAWMIDI_INPUT;
    if (!RawMidiOpen(inDevice, inDirections, &t.input, &error)) {
        t.input = RAWMIDI_NO_HANDLE;
        MidiErrorText((unsigned int)error, codeText, sizeof codeText);
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi In Open Error : %s", codeText);
        t.portError.store(error);
        return FailOpen();
    }
    if (shared) {
        t.output = t.input;
    } else if (!RawMidiOpen(outDevice, RAWMIDI_OUTPUT, &t.output, &error)) {
        t.output = RAWMIDI_NO_HANDLE;
        MidiErrorText((unsigned int)error, codeText, sizeof codeText);
        TextFormat(errorText, MIDI_OPEN_TEXT_SIZE, "Midi Out Open Error : %s", codeText);
        t.portError.store(error);
        return FailOpen();
    }
    ForgetStream();
    t.aborted.store(0);
    t.firstRequest = 1;
    t.portError.store(0);
    return 1;
}

void MidiClose(void) {
    CloseHandles();
    ForgetStream();
}

int MidiSend(const unsigned char* bytes, int length) {
    MidiTransport& t = g_midiTransport;
    if (t.output == RAWMIDI_NO_HANDLE || bytes == nullptr || length <= 0 ||
        length > MIDI_TX_BUFFER_SIZE) {
        return 0;
    }
    // Here rather than in the open, so that what came in between goes too.
    if (t.firstRequest) {
        t.firstRequest = 0;
        DropWhatCameBefore();
    }
    const int written = RawMidiWrite(t.output, bytes, length);
    if (written < 0) {
        t.portError.store(-written);
    }
    return written == 1 ? 1 : 0;
}

int MidiReceive(unsigned char* buffer, int capacity, int timeoutTicks) {
    MidiTransport& t = g_midiTransport;
    // Waits stay below the mark that stands for an abort on Windows, so a caller meets
    // the same longest wait on both.
    if (timeoutTicks >= MIDI_ABORT_TICKS) {
        timeoutTicks = MIDI_ABORT_TICKS - 1;
    }
    if (buffer == nullptr || capacity < 0) {
        capacity = 0;
    }
    // One microsecond late, so that the clock's rounding never makes a time-out early.
    const uint64_t start = PlatformMonotonicUs() + 1;
    for (;;) {
        if (t.aborted.load()) {
            return -2;
        }
        if (TakeMessage(buffer, capacity)) {
            return 1;
        }
        // The ticks count the receive's elapsed time in whole 10 ms, by the clock: a
        // port that keeps sending other bytes must not stretch the time-out.
        const uint64_t elapsed = ElapsedUs(start);
        const int64_t ticks = (int64_t)(elapsed / MIDI_WAIT_US);
        if (ticks >= timeoutTicks) {
            // What the port holds already still counts, as a reply the service had
            // handed back does; then the time is up. Bounded, for a port that never
            // stops sending other bytes.
            int got = 0;
            for (int reads = 0; reads < MIDI_LAST_READS && (got = ReadPort(0)) > 0; reads++) {
                if (TakeMessage(buffer, capacity)) {
                    return 1;
                }
            }
            if (t.aborted.load()) {
                return -2;
            }
            return got < 0 ? 0 : -1;
        }
        // Until the next 10 ms mark of this receive, so an abort is seen within one.
        const uint64_t nextMark = (uint64_t)(ticks + 1) * MIDI_WAIT_US;
        // A port that fails stays failed (the instrument is gone): waiting out the time
        // would only hide that.
        if (ReadPort((uint32_t)((nextMark - elapsed + 999) / 1000)) < 0) {
            return t.aborted.load() ? -2 : 0;
        }
    }
}

void MidiAbortReceive(void) {
    g_midiTransport.aborted.store(1);
}

int MidiPortError(void) {
    return g_midiTransport.portError.load();
}
