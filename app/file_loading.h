// Loading a system file and preparing the instrument (main thread only).
#pragma once

#include <windows.h>

// Each returns 1 when the sequence goes on and 0 when it stopped with a message.
int LoadSystemFile(HWND window, const char* path);
int CheckDeviceVersion(HWND window, const char* path);
void ShowUpdateOffer(void);
void ShowAlreadyLatest(void);

// The automatic MIDI port detection (only with DeviceType 1 and MidiAuto 1): the start
// from a loaded file, the countdown running out, and CMD_MIDI_PORT_FOUND.
int StartPortScan(const char* path, HWND window);
void OnPortScanTimeout(HWND window);
int OnMidiPortFound(HWND window);

// Closes the transport the DeviceType setting selects; harmless when it is not open.
void CloseCurrentTransport(void);

// Closes the transport deviceType selects; harmless when it is not open.
void CloseTransport(int deviceType);
