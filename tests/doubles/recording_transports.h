// Recording doubles of the transports' send, receive and abort operations. Each call is
// recorded with its arguments; every operation returns the result the test has set, and a
// receive writes the reply the test has set into the caller's buffer.
#pragma once

#include <vector>

enum TransportOperation {
    OP_SERIAL_SEND,
    OP_SERIAL_RECEIVE,
    OP_SERIAL_ABORT_RECEIVE,
    OP_MIDI_SEND,
    OP_MIDI_RECEIVE,
    OP_MIDI_ABORT_RECEIVE,
    OP_USB_BULK_SEND,
    OP_USB_BULK_RECEIVE,
    OP_USB_BULK_ABORT,
    OP_KERNEL_MIDI_SEND,
    OP_KERNEL_MIDI_WRITE_RAW,
    OP_KERNEL_MIDI_RECEIVE,
    OP_KERNEL_MIDI_ABORT_RECEIVE,
};

struct TransportCall {
    TransportOperation operation;
    const unsigned char* bytes; // sends: the pointer given
    int length;                 // sends
    unsigned char* buffer;      // receives: the pointer given
    int capacity;               // receives; -1 when the operation takes none (USB bulk)
    int timeoutTicks;           // MIDI receive; -1 otherwise
    int endMarker;              // kernel MIDI send; -1 otherwise
};

struct RecordingTransports {
    std::vector<TransportCall> calls;
    int result;                       // returned by every send and receive
    std::vector<unsigned char> reply; // written by receives, cut to what each may write
};

extern RecordingTransports g_recordingTransports;

// Forgets the calls, sets the result to 1 and the reply to nothing.
void RecordingTransportsReset(void);
