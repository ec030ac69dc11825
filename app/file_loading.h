// Loading a system file and preparing the instrument (main thread only).
#pragma once

#include <windows.h>

// Each returns 1 when the sequence goes on and 0 when it stopped with a message.
int LoadSystemFile(HWND window, const char* path);
int CheckDeviceVersion(HWND window, const char* path);
void ShowUpdateOffer(void);
void ShowAlreadyLatest(void);

// Closes the transport the DeviceType setting selects; harmless when it is not open.
void CloseCurrentTransport(void);
