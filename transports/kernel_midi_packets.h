// USB-MIDI event packets as the kernel driver carries them: 4 bytes, byte 0 the cable
// number (high nibble) and the code index number (low nibble), bytes 1 to 3 MIDI bytes.
#pragma once

#define KERNEL_MIDI_PACKET_SIZE 4

// The packet that KernelMidiSend can append after a message.
extern const unsigned char KernelMidiEndMarker[KERNEL_MIDI_PACKET_SIZE];

// Fills packet with the next up to 3 bytes of data (length >= 1), stopping after the
// last byte of the data or after 0xF7. Returns the number of bytes taken; *ends is 1
// when the message ends with this packet. Unused MIDI bytes are zero.
int KernelMidiEncodePacket(const unsigned char* data, int length,
                           unsigned char packet[KERNEL_MIDI_PACKET_SIZE], int* ends);

// How many MIDI bytes a packet with this byte 0 carries: 3 for a System Exclusive that
// continues, 1 to 3 for one that ends (*ends = 1), 0 for any other code index number.
// The cable number is ignored.
int KernelMidiPacketByteCount(unsigned char header, int* ends);
