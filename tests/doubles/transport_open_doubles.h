// Opening and closing of every transport, recorded: the half of TRANSPORTS instrument
// that the main window's tests reach, since the in-process transport double only sends
// and receives.
#pragma once

enum OpenDoubleTransport {
    OPEN_DOUBLE_SERIAL = 0,
    OPEN_DOUBLE_MIDI,
    OPEN_DOUBLE_USB_BULK,
    OPEN_DOUBLE_KERNEL_MIDI,
    OPEN_DOUBLE_COUNT,
};

struct OpenDoubleState {
    int openCalls[OPEN_DOUBLE_COUNT];
    int closeCalls[OPEN_DOUBLE_COUNT];
    int isOpen[OPEN_DOUBLE_COUNT];
    int failOpen[OPEN_DOUBLE_COUNT]; // the next opens fail with the transport's text
    char lastMidiOutput[260];
    char lastMidiInput[260];
    int lastSerialPort;
    int lastSerialRate;
};

extern OpenDoubleState g_openDoubles;

void OpenDoublesReset(void);
