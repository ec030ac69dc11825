// Access to the maker's kernel USB-MIDI driver: its devices "\\.\VMPRT%d", the pipes
// below them, its two requests, and reads and writes on the pipes. The product links the
// Win32 half (kernel_midi_driver_win32.cpp); tests link a simulated driver
// (tests/doubles/kernel_midi_driver_sim.cpp). Each executable names its choice as
// KERNEL_MIDI_DRIVER in its orv_link_implementations call.
#pragma once

#include <cstdint>

typedef intptr_t KernelMidiHandle;
#define KERNEL_MIDI_NO_HANDLE ((KernelMidiHandle)-1)

// Device I/O control codes: device type 0x22, buffered, any access.
#define IOCTL_KMIDI_CHANGE_QUERY 0x220010u
#define IOCTL_KMIDI_GET_DEVICE_ID 0x220014u

// Opens a device or pipe by name for reading and writing, shared for both, as an
// existing file; KERNEL_MIDI_NO_HANDLE when it does not open.
KernelMidiHandle KernelMidiDriverOpen(const char* name);

void KernelMidiDriverClose(KernelMidiHandle handle);

// Sends a request whose input and output share one 4-byte buffer: *value goes in and
// the driver's answer comes back in it. 1 when the request succeeded, else 0.
int KernelMidiDriverRequest(KernelMidiHandle handle, uint32_t code, uint32_t* value);

// One synchronous read of at most length bytes: the number read, or -1 on failure. A
// pipe read blocks until the driver has a block.
int KernelMidiDriverRead(KernelMidiHandle handle, unsigned char* buffer, int length);

// One synchronous write: the number of bytes the driver reports written, or -1.
int KernelMidiDriverWrite(KernelMidiHandle handle, const unsigned char* bytes, int length);

// Makes a read blocked on the handle, and every later one, return at once with failure,
// so the thread that reads can be stopped before the handle is closed.
void KernelMidiDriverCancelRead(KernelMidiHandle handle);
