#include "update/transport.h"

#include "midi/midi_transport.h"
#include "platform/text.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/update_engine.h"

// Written and read only by the thread that drives the protocol (the update thread or,
// during a version inquiry, the main window's thread), never by both at once.
static int s_lastReceiveResult = TRANSPORT_DONE;

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
        if (sendMode == SEND_MODE_PACKETS) {
            result = KernelMidiSend(bytes, length, 0);
        } else if (sendMode == SEND_MODE_PACKETS_WITH_END) {
            result = KernelMidiSend(bytes, length, 1);
        } else if (sendMode == SEND_MODE_RAW) {
            result = KernelMidiWriteRaw(bytes, length);
        } else {
            TextCopy(errorText, TEXT_SIZE, "Transmit Error");
            return 0;
        }
        break;
    }

    switch (result) {
    case TRANSPORT_FAILED:
        TextCopy(errorText, TEXT_SIZE, "Transmit Error");
        return 0;
    case TRANSPORT_TIMEOUT:
        TextCopy(errorText, TEXT_SIZE, "Transmit Error(Time Out)");
        return 0;
    case TRANSPORT_STOPPED:
        TextCopy(errorText, TEXT_SIZE, "Rx-Midi Setup Error");
        return 0;
    default:
        return 1;
    }
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

    switch (result) {
    case TRANSPORT_FAILED:
        TextCopy(errorText, TEXT_SIZE, "Recieve Error");
        return 0;
    case TRANSPORT_TIMEOUT:
        TextCopy(errorText, TEXT_SIZE, "Recieve Error(Timeout)");
        return 0;
    case TRANSPORT_STOPPED:
        // The user's stop: the caller reports it in its own words.
        return 0;
    default:
        return 1;
    }
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
