// The kernel USB-MIDI driver transport (switched off: no setting selects it).
#pragma once

// Opens the driver's device. 1 on success; 0 with a text in errorText (PATH_SIZE bytes).
int KernelMidiOpen(char* errorText);
void KernelMidiClose(void);

// Sends a message as USB-MIDI event packets, with the end marker when endMarker is 1.
int KernelMidiSend(const unsigned char* bytes, int length, int endMarker);

// Writes the bytes as they are to the driver's OUT pipe; 1 only when all were written.
int KernelMidiWriteRaw(const unsigned char* bytes, int length);

// 1 with a message in buffer; 0 on failure; -1 on time-out.
int KernelMidiReceive(unsigned char* buffer, int capacity);
