#include "tests/doubles/recording_transports.h"

#include "midi/midi_transport.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"

RecordingTransports g_recordingTransports = {{}, 1, {}};

void RecordingTransportsReset(void) {
    g_recordingTransports.calls.clear();
    g_recordingTransports.result = 1;
    g_recordingTransports.reply.clear();
}

static int RecordSend(TransportOperation op, const unsigned char* bytes, int length,
                      int endMarker) {
    g_recordingTransports.calls.push_back({op, bytes, length, nullptr, -1, -1, endMarker});
    return g_recordingTransports.result;
}

// A real receive writes at most `limit` bytes; the double writes exactly that many when
// it has a reply, padding with zeros, so a caller's buffer is pushed to its edge.
static int RecordReceive(TransportOperation op, unsigned char* buffer, int capacity,
                         int timeoutTicks, int limit) {
    g_recordingTransports.calls.push_back({op, nullptr, 0, buffer, capacity, timeoutTicks, -1});
    const std::vector<unsigned char>& reply = g_recordingTransports.reply;
    if (!reply.empty()) {
        for (int i = 0; i < limit; i++) {
            buffer[i] = i < (int)reply.size() ? reply[i] : 0;
        }
    }
    return g_recordingTransports.result;
}

int SerialSend(const unsigned char* data, int length) {
    return RecordSend(OP_SERIAL_SEND, data, length, -1);
}

int SerialReceive(unsigned char* buffer, int maxLength) {
    return RecordReceive(OP_SERIAL_RECEIVE, buffer, maxLength, -1, maxLength);
}

int MidiSend(const unsigned char* bytes, int length) {
    return RecordSend(OP_MIDI_SEND, bytes, length, -1);
}

int MidiReceive(unsigned char* buffer, int capacity, int timeoutTicks) {
    return RecordReceive(OP_MIDI_RECEIVE, buffer, capacity, timeoutTicks, capacity);
}

static void RecordAbort(TransportOperation operation) {
    g_recordingTransports.calls.push_back({operation, nullptr, 0, nullptr, -1, -1, -1});
}

void SerialAbortReceive(void) {
    RecordAbort(OP_SERIAL_ABORT_RECEIVE);
}

void MidiAbortReceive(void) {
    RecordAbort(OP_MIDI_ABORT_RECEIVE);
}

void KernelMidiAbortReceive(void) {
    RecordAbort(OP_KERNEL_MIDI_ABORT_RECEIVE);
}

int UsbBulkSend(const unsigned char* data, int length) {
    return RecordSend(OP_USB_BULK_SEND, data, length, -1);
}

int UsbBulkReceive(unsigned char* buffer) {
    return RecordReceive(OP_USB_BULK_RECEIVE, buffer, -1, -1, USB_BULK_READ_SIZE);
}

void UsbBulkAbort(void) {
    RecordAbort(OP_USB_BULK_ABORT);
}

int KernelMidiSend(const unsigned char* bytes, int length, int endMarker) {
    return RecordSend(OP_KERNEL_MIDI_SEND, bytes, length, endMarker);
}

int KernelMidiWriteRaw(const unsigned char* bytes, int length) {
    return RecordSend(OP_KERNEL_MIDI_WRITE_RAW, bytes, length, -1);
}

int KernelMidiReceive(unsigned char* buffer, int capacity) {
    return RecordReceive(OP_KERNEL_MIDI_RECEIVE, buffer, capacity, -1, capacity);
}
