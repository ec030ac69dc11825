#include "transports/kernel_midi_packets.h"

#include "transports/sysex.h"

#define CIN_SYSEX_CONTINUES 0x4
#define CIN_SYSEX_ENDS_1 0x5
#define CIN_SYSEX_ENDS_3 0x7
// Everything the tool sends goes out on cable 15.
#define CABLE_OUT 0xF0

const unsigned char KernelMidiEndMarker[KERNEL_MIDI_PACKET_SIZE] = {0xFF, 0xFF, 0xFF, 0x00};

int KernelMidiEncodePacket(const unsigned char* data, int length,
                           unsigned char packet[KERNEL_MIDI_PACKET_SIZE], int* ends) {
    int taken = 0;
    *ends = 0;
    packet[1] = packet[2] = packet[3] = 0;
    while (taken < 3 && taken < length) {
        unsigned char b = data[taken];
        packet[1 + taken] = b;
        taken++;
        if (b == SYSEX_END || taken == length) {
            *ends = 1;
            break;
        }
    }
    packet[0] = (unsigned char)(CABLE_OUT | (*ends ? 4 + taken : CIN_SYSEX_CONTINUES));
    return taken;
}

int KernelMidiPacketByteCount(unsigned char header, int* ends) {
    int cin = header & 0x0F;
    *ends = 0;
    if (cin == CIN_SYSEX_CONTINUES) {
        return 3;
    }
    if (cin >= CIN_SYSEX_ENDS_1 && cin <= CIN_SYSEX_ENDS_3) {
        *ends = 1;
        return cin - 4;
    }
    return 0;
}
