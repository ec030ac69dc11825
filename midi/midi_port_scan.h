// Automatic detection of the instrument's MIDI ports: every input port listens, every
// output port carries a port inquiry with its own number, and the first input port on
// which the instrument echoes a number names the pair. Main window's thread only, except
// for the input callback.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#define MIDI_PORT_SCAN_REQUEST_SIZE 1024
#define MIDI_PORT_SCAN_INPUT_SIZE 16
#define MIDI_PORT_SCAN_OPEN_ATTEMPTS 10
#define MIDI_PORT_SCAN_SEND_WAIT_MS 2000
#define MIDI_PORT_SCAN_CLOSE_ATTEMPTS 100 // 10 ms apart: a port gets about a second

// MidiDriverFlags: which of the found ports belong to the maker's driver.
#define MIDI_DRIVER_FLAG_INPUT 1
#define MIDI_DRIVER_FLAG_OUTPUT 2

// 1 when the inquiry went out on every output port and the input ports are listening;
// 0 when the system has no MIDI input or no MIDI output device, or the inquiry's own
// blocks could not be had (shown in a message box owned by mainWindow). productIds holds
// three bytes, 0xFF marking an absent second or third byte. The first valid reply posts
// CMD_MIDI_PORT_FOUND to mainWindow (when not null). A detection still listening is
// finished first.
// The detection speaks the update protocol's port inquiry, which lives above the MIDI
// transport: the caller hands over how it is built and how its reply is read
// (BuildPortInquiry and ReadPortReply of update/update_messages.h).
struct MidiPortScanProtocol {
    int (*buildInquiry)(unsigned char* out, const unsigned char* productId, int* portAt);
    int (*readReply)(const unsigned char* bytes, int length, const unsigned char* productId);
};
int MidiPortScanStart(HWND mainWindow, const unsigned char* productIds,
                      const MidiPortScanProtocol* protocol);

// Closes every port of the detection and releases its blocks, then reports the pair:
// 1 when a reply came, 0 otherwise (the outputs untouched). Each output may be null;
// the names take TEXT_SIZE bytes. Harmless when no detection is open. A port whose
// driver will not let it close within about a second is given up instead, its blocks
// left to the driver (an output port at the start likewise).
int MidiPortScanFinish(char* inName, char* outName, unsigned char* driverFlagsOut,
                       unsigned short* driverVersionOut);

// 1 while a detection is open and its reply has arrived: a CMD_MIDI_PORT_FOUND that
// finds 0 here belongs to a detection that has already ended.
int MidiPortScanHasReply(void);

// Ports of the virtual cable driver only loop back what the computer sends.
int IsVirtualCablePort(const char* name);

// The platform input callback (CALLBACK_FUNCTION, instance = the input device number).
void CALLBACK MidiScanCallback(HMIDIIN port, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR param2);
