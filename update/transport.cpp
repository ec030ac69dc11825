#include "update/transport.h"

#include "midi/midi_transport.h"
#include "platform/text.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

// Written and read only by the thread that drives the protocol (the update thread or,
// during a version inquiry, the main window's thread), never by both at once.
static int s_lastReceiveResult = TRANSPORT_DONE;

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

} // namespace

int TransmitMessage(const unsigned char* bytes, int length, char* errorText, int sendMode) {
    int result;
    switch (g_updateEngine.deviceType) {
    case DEVICE_TYPE_SERIAL:
        result = SerialSend(bytes, length);
        break;
    case DEVICE_TYPE_MIDI:
        result = MidiSend(bytes, length);
        break;
    case DEVICE_TYPE_USB_BULK:
        result = UsbBulkSend(bytes, length);
        break;
    default:
        result = KernelMidiTransmit(bytes, length, sendMode);
        break;
    }
    return ResultToText(result, kTransmitTexts, errorText);
}

int ReceiveMessage(unsigned char* buffer, int capacity, char* errorText, int timeoutTicks) {
    int result;
    switch (g_updateEngine.deviceType) {
    case DEVICE_TYPE_SERIAL:
        result = SerialReceive(buffer, capacity);
        break;
    case DEVICE_TYPE_MIDI:
        result = MidiReceive(buffer, capacity, timeoutTicks);
        break;
    case DEVICE_TYPE_USB_BULK:
        // The pipe always delivers one transfer of up to USB_BULK_READ_SIZE bytes. The
        // callers' buffers are larger; a smaller one gets the transfer through a bounce
        // buffer so the pipe can never write past it.
        if (capacity >= USB_BULK_READ_SIZE) {
            result = UsbBulkReceive(buffer);
        } else {
            unsigned char transfer[USB_BULK_READ_SIZE] = {0};
            result = UsbBulkReceive(transfer);
            for (int i = 0; i < capacity; i++) {
                buffer[i] = transfer[i];
            }
        }
        break;
    default:
        result = KernelMidiReceive(buffer, capacity);
        break;
    }
    s_lastReceiveResult = result;
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
    switch (g_updateEngine.deviceType) {
    case DEVICE_TYPE_SERIAL:
        SerialAbortReceive();
        break;
    case DEVICE_TYPE_MIDI:
        MidiAbortReceive();
        break;
    case DEVICE_TYPE_USB_BULK:
        UsbBulkAbort();
        break;
    default:
        KernelMidiAbortReceive();
        break;
    }
}

int LastReceiveResult(void) {
    return s_lastReceiveResult;
}
