// The transports' send and receive operations played against the virtual instrument in
// the same process: chosen instead of the real transports (TRANSPORTS instrument), they
// make the update engine talk to the instrument. Every call is recorded; a send can be made to
// fail. Waiting is real time, in steps of 1 ms, so tests keep their delays short.
#pragma once

#include <cstdint>

enum SimTransportOperation {
    SIM_SERIAL_SEND = 1,
    SIM_SERIAL_RECEIVE,
    SIM_MIDI_SEND,
    SIM_MIDI_RECEIVE,
    SIM_USB_BULK_SEND,
    SIM_USB_BULK_RECEIVE,
    SIM_KERNEL_MIDI_SEND,
    SIM_KERNEL_MIDI_WRITE_RAW,
    SIM_KERNEL_MIDI_RECEIVE,
};

struct SimTransportConfig {
    uint32_t midiTickMs;      // one of MidiReceive's timeoutTicks (the real one: 10 ms)
    uint32_t midiTickUs;      // when not 0, a tick lasts this many microseconds instead and
                              // the wait is measured on the clock: -1 once timeoutTicks x
                              // midiTickUs have passed with no message due (long soaks
                              // that meet many silent instruments)
    uint32_t serialTimeoutMs; // SerialReceive gives -1 when no reply is due within this
                              // (the real port: 10 s); with nothing pending at once
    uint32_t usbWaitLimitMs;  // a USB bulk read has no time-out; when no reply is pending
                              // it fails (0) after this instead of hanging the test
    uint32_t kernelTimeoutMs; // KernelMidiReceive gives 0 after this (the real one: 10 s)
    int failSendAt;           // this send call (counted from 0 over all transports) fails
    int failSendResult;       // ... returning this (0, -1 or -2)
};

struct SimTransportCall {
    SimTransportOperation operation;
    int length;       // bytes sent, or bytes placed in the buffer by a receive
    int endMarker;    // KernelMidiSend's argument; -1 for other operations
    int capacity;     // a receive's capacity as passed (USB bulk: 16); 0 for sends
    int timeoutTicks; // MidiReceive's timeoutTicks, the only receive that takes them;
                      // -1 for every other operation
    int result;
};

// Defaults: 10 ms MIDI ticks (midiTickUs 0), serial 1000 ms, USB bulk 1000 ms, kernel 1000 ms, no
// failing send.
void SimTransportDefaultConfig(SimTransportConfig* config);

// Forgets pending replies, half-sent pieces, recorded calls and aborts. The instrument
// is reset separately (VirtualInstrumentReset).
void SimTransportReset(const SimTransportConfig* config);

// Every send and receive so far, in order (at most SIM_TRANSPORT_MAX_CALLS are kept;
// the count goes on).
#define SIM_TRANSPORT_MAX_CALLS 16384
int SimTransportCallCount(void);
int SimTransportGetCall(int index, SimTransportCall* out); // 1, or 0 when not kept

// Replies the instrument has given that no receive has taken yet.
int SimTransportPendingReplies(void);
