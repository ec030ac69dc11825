#include "update/transport.h"

#include "midi/midi_transport.h"
#include "platform/platform_thread.h"
#include "platform/text.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/sysex.h"
#include "transports/usb_bulk.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

// Written and read only by the thread that drives the protocol (the update thread or,
// during a version inquiry, the main window's thread), never by both at once.
static int s_lastReceiveResult = TRANSPORT_DONE;
static TransportTapProc s_tap = nullptr;

namespace {

// The texts a failed send or receive leaves in the caller's error text; a null text
// leaves it as it was.
struct ResultTexts {
    const char* failed;
    const char* timeout;
    const char* stopped;
};

const ResultTexts kTransmitTexts = {"Transmit Error", "Transmit Error(Time Out)",
                                    "Rx-Midi Setup Error"};
// The user's stop: the caller reports it in its own words.
const ResultTexts kReceiveTexts = {"Recieve Error", "Recieve Error(Timeout)", nullptr};

// 1 for a transport result that is done; 0 with the result's text otherwise.
int ResultToText(int result, const ResultTexts& texts, char* errorText) {
    const char* text;
    switch (result) {
    case TRANSPORT_FAILED:
        text = texts.failed;
        break;
    case TRANSPORT_TIMEOUT:
        text = texts.timeout;
        break;
    case TRANSPORT_STOPPED:
        text = texts.stopped;
        break;
    default:
        return 1;
    }
    if (text != nullptr) {
        TextCopy(errorText, TEXT_SIZE, text);
    }
    return 0;
}

int KernelMidiTransmit(const unsigned char* bytes, int length, int sendMode) {
    switch (sendMode) {
    case SEND_MODE_PACKETS:
        return KernelMidiSend(bytes, length, KERNEL_MIDI_NO_END_MARKER);
    case SEND_MODE_PACKETS_WITH_END:
        return KernelMidiSend(bytes, length, KERNEL_MIDI_END_MARKER);
    case SEND_MODE_RAW:
        return KernelMidiWriteRaw(bytes, length);
    default:
        return TRANSPORT_FAILED;
    }
}

// The pipe always delivers one transfer of up to USB_BULK_READ_SIZE bytes. The callers'
// buffers are larger; a smaller one gets the transfer through a bounce buffer so the pipe
// can never write past it.
int UsbBulkReceiveInto(unsigned char* buffer, int capacity, int) {
    if (capacity >= USB_BULK_READ_SIZE) {
        return UsbBulkReceive(buffer);
    }
    unsigned char transfer[USB_BULK_READ_SIZE] = {0};
    const int result = UsbBulkReceive(transfer);
    for (int i = 0; i < capacity; i++) {
        buffer[i] = transfer[i];
    }
    return result;
}

int SerialOpenChoice(const TransportChoice* c, char* errorText) {
    return SerialOpen(c->serialPort, c->baudRate, errorText);
}

int MidiOpenChoice(const TransportChoice* c, char* errorText) {
    return MidiOpen(c->midiOutput, c->midiInput, errorText, c->onlyMavoDriver);
}

int UsbBulkOpenChoice(const TransportChoice*, char* errorText) {
    return UsbBulkOpen(errorText);
}

int KernelMidiOpenChoice(const TransportChoice*, char* errorText) {
    return KernelMidiOpen(errorText);
}

int SerialTransmit(const unsigned char* bytes, int length, int) {
    return SerialSend(bytes, length);
}

int MidiTransmit(const unsigned char* bytes, int length, int) {
    return MidiSend(bytes, length);
}

int UsbBulkTransmit(const unsigned char* bytes, int length, int) {
    return UsbBulkSend(bytes, length);
}

int SerialReceiveInto(unsigned char* buffer, int capacity, int) {
    return SerialReceive(buffer, capacity);
}

int KernelMidiReceiveInto(unsigned char* buffer, int capacity, int) {
    return KernelMidiReceive(buffer, capacity);
}

// One row a transport. Only MIDI honours the receive's time-out ticks and only the
// kernel driver the send mode; the others keep time-outs of their own.
struct Transport {
    int deviceType;
    int (*open)(const TransportChoice* choice, char* errorText);
    void (*close)(void);
    int (*send)(const unsigned char* bytes, int length, int sendMode);
    int (*receive)(unsigned char* buffer, int capacity, int timeoutTicks);
    void (*abortReceive)(void);
};

// In the order the window closes them all.
const Transport kTransports[] = {
    {DEVICE_TYPE_SERIAL, SerialOpenChoice, SerialClose, SerialTransmit, SerialReceiveInto,
     SerialAbortReceive},
    {DEVICE_TYPE_MIDI, MidiOpenChoice, MidiClose, MidiTransmit, MidiReceive, MidiAbortReceive},
    {DEVICE_TYPE_KERNEL_MIDI, KernelMidiOpenChoice, KernelMidiClose, KernelMidiTransmit,
     KernelMidiReceiveInto, KernelMidiAbortReceive},
    {DEVICE_TYPE_USB_BULK, UsbBulkOpenChoice, UsbBulkClose, UsbBulkTransmit, UsbBulkReceiveInto,
     UsbBulkAbort},
};

// The row of deviceType, or null when it names no transport.
const Transport* FindTransport(int deviceType) {
    for (const Transport& t : kTransports) {
        if (t.deviceType == deviceType) {
            return &t;
        }
    }
    return nullptr;
}

} // namespace

int TransportOpen(const TransportChoice* choice, char* errorText) {
    const Transport* t = FindTransport(choice->deviceType);
    if (t == nullptr) {
        TextCopy(errorText, PATH_SIZE, "Unknown Type");
        return 0;
    }
    return t->open(choice, errorText);
}

void TransportClose(int deviceType) {
    const Transport* t = FindTransport(deviceType);
    if (t != nullptr) {
        t->close();
    }
}

void TransportCloseAll(void) {
    for (const Transport& t : kTransports) {
        t.close();
    }
}

int TransmitMessage(const unsigned char* bytes, int length, char* errorText, int sendMode) {
    const Transport* t = FindTransport(g_updateEngine.deviceType);
    if (s_tap != nullptr) {
        s_tap(TRANSPORT_TAP_SENT, bytes, length);
    }
    const int result = t != nullptr ? t->send(bytes, length, sendMode) : TRANSPORT_FAILED;
    return ResultToText(result, kTransmitTexts, errorText);
}

int ReceiveMessage(unsigned char* buffer, int capacity, char* errorText, int timeoutTicks) {
    const Transport* t = FindTransport(g_updateEngine.deviceType);
    const int result = t != nullptr ? t->receive(buffer, capacity, timeoutTicks) : TRANSPORT_FAILED;
    s_lastReceiveResult = result;
    if (s_tap != nullptr && result == TRANSPORT_DONE) {
        // The transports hand over a message, not its length: it ends at its SYSEX_END.
        int length = 0;
        while (length < capacity && buffer[length++] != SYSEX_END) {
        }
        s_tap(TRANSPORT_TAP_RECEIVED, buffer, length);
    }
    return ResultToText(result, kReceiveTexts, errorText);
}

int ReceiveReply(unsigned char* reply, char* errorText, int timeoutTicks) {
    if (ReceiveMessage(reply, REPLY_BUFFER_SIZE, errorText, timeoutTicks)) {
        return 1;
    }
    if (s_lastReceiveResult == TRANSPORT_STOPPED) {
        TextCopy(errorText, TEXT_SIZE, USER_ABORTED_TEXT);
    }
    return 0;
}

int ExchangeMessage(const unsigned char* message, int length, unsigned char* reply,
                    SystemFileHeader* header, int expectedCode, char* errorText, int timeoutTicks) {
    if (!TransmitMessage(message, length, errorText, SEND_MODE_PACKETS) ||
        !ReceiveReply(reply, errorText, timeoutTicks)) {
        return 0;
    }
    return ValidateReply(reply, header, expectedCode, errorText, nullptr);
}

void AbortReceive(void) {
    const Transport* t = FindTransport(g_updateEngine.deviceType);
    if (t != nullptr) {
        t->abortReceive();
    }
}

int TransportWaitSleeping(uint32_t milliseconds) {
    PlatformSleep(milliseconds);
    return 1;
}

int AbortReceiveUntil(int (*ended)(void), TransportWaitProc wait) {
    AbortReceive();
    uint64_t lastAbort = PlatformMonotonicUs();
    while (!ended()) {
        if (!wait(ABORT_RECEIVE_POLL_MS)) {
            return 0;
        }
        if (PlatformMonotonicUs() - lastAbort >= ABORT_RECEIVE_REPEAT_MS * 1000u) {
            AbortReceive();
            lastAbort = PlatformMonotonicUs();
        }
    }
    return 1;
}

void TransportSetTap(TransportTapProc tap) {
    s_tap = tap;
}

int LastReceiveResult(void) {
    return s_lastReceiveResult;
}
