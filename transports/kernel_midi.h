// The kernel USB-MIDI driver transport (switched off: no setting selects it).
#pragma once

// Opens the driver's device. 1 on success; 0 with a text in errorText (PATH_SIZE bytes).
int KernelMidiOpen(char* errorText);
void KernelMidiClose(void);

// Sends a message as USB-MIDI event packets, with the end marker when endMarker is
// KERNEL_MIDI_END_MARKER.
#define KERNEL_MIDI_NO_END_MARKER 0
#define KERNEL_MIDI_END_MARKER 1
int KernelMidiSend(const unsigned char* bytes, int length, int endMarker);

// Writes the bytes as they are to the driver's OUT pipe; 1 only when all were written.
int KernelMidiWriteRaw(const unsigned char* bytes, int length);

// 1 with a message (or as much as fits) in buffer; 0 when no block came in time or a
// packet is malformed: this transport reports a time-out like any other failure; -2
// when KernelMidiAbortReceive ended the wait.
int KernelMidiReceive(unsigned char* buffer, int capacity);

// Ends the receive waiting in another thread within one poll, and makes every later
// receive end at once, until the driver is opened again.
void KernelMidiAbortReceive(void);

// The IN pipe delivers blocks of this size: 16 packets, those after the data all zero.
#define KERNEL_MIDI_BLOCK_SIZE 64
// 64 blocks.
#define KERNEL_MIDI_RING_SIZE 4096
#define KERNEL_MIDI_MAX_DEVICES 8

// Takes the oldest block the reader thread has put in the ring. 1, or 0 when nothing
// arrived within the poll limit (5000 polls of 2 ms, 10 s) or the transport is closed, -2
// after KernelMidiAbortReceive.
int KernelMidiReadBlock(unsigned char* block);

// Looks for the driver's devices 0 to 7. *count gets how many there are. Nonzero when
// the device set changed or the driver was not asked; 0 when the driver reports no
// change (the count is then the previous scan's).
int KernelMidiScanDevices(int* count);
