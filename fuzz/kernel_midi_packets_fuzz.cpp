// Messages become USB-MIDI event packets on the way out and packets become bytes on the
// way in: any message must survive the trip, and any packet header must be read safely.
#include "fuzz/fuzz_require.h"
#include "transports/kernel_midi_packets.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const unsigned char kSysexEnd = 0xF7;

// Encodes the message as the send does (packet after packet until one ends it), checks
// each packet, and returns the packets.
std::vector<unsigned char> Encode(const std::vector<unsigned char>& message, size_t* sentOut) {
    std::vector<unsigned char> packets;
    size_t pos = 0;
    for (;;) {
        // Exactly the bytes left, so a read past them is seen.
        std::vector<unsigned char> rest(message.begin() + (long)pos, message.end());
        unsigned char packet[KERNEL_MIDI_PACKET_SIZE];
        memset(packet, 0xAA, sizeof packet);
        int ends = -1;
        int taken = KernelMidiEncodePacket(rest.data(), (int)rest.size(), packet, &ends);
        Require(taken >= 1 && taken <= 3 && (size_t)taken <= rest.size());
        Require(ends == 0 || ends == 1);
        Require(memcmp(packet + 1, rest.data(), (size_t)taken) == 0);
        for (int i = taken + 1; i < KERNEL_MIDI_PACKET_SIZE; i++) {
            Require(packet[i] == 0);
        }
        // Ends exactly after a 0xF7 or the data's last byte; no 0xF7 before that.
        bool last = rest[(size_t)taken - 1] == kSysexEnd || (size_t)taken == rest.size();
        Require((ends == 1) == last);
        Require(memchr(rest.data(), kSysexEnd, (size_t)taken - 1) == nullptr);
        // What the receiving side reads from the header is what was put in.
        int readEnds = -1;
        int count = KernelMidiPacketByteCount(packet[0], &readEnds);
        Require(readEnds == ends);
        Require(count == (ends ? taken : 3));
        Require(ends || taken == 3);
        packets.insert(packets.end(), packet, packet + KERNEL_MIDI_PACKET_SIZE);
        pos += (size_t)taken;
        if (ends) {
            break;
        }
    }
    *sentOut = pos;
    return packets;
}

// Reads packets back into bytes as the receive does, for any packets at all; returns
// the bytes up to the packet that ends the message or the first one that carries none.
std::vector<unsigned char> Decode(const unsigned char* packets, size_t size) {
    std::vector<unsigned char> bytes;
    for (size_t at = 0; at + KERNEL_MIDI_PACKET_SIZE <= size; at += KERNEL_MIDI_PACKET_SIZE) {
        int ends = -1;
        int n = KernelMidiPacketByteCount(packets[at], &ends);
        Require(n >= 0 && n <= 3 && (ends == 0 || ends == 1));
        Require(!ends || n >= 1);
        // The cable number plays no part.
        int otherEnds = -1;
        Require(KernelMidiPacketByteCount((unsigned char)(packets[at] ^ 0xF0), &otherEnds) == n);
        Require(otherEnds == ends);
        if (n == 0) {
            break;
        }
        bytes.insert(bytes.end(), packets + at + 1, packets + at + 1 + n);
        if (ends) {
            break;
        }
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The end marker the send may append must never read as message bytes.
    int markerEnds = -1;
    Require(KernelMidiPacketByteCount(KernelMidiEndMarker[0], &markerEnds) == 0);
    Require(markerEnds == 0);

    // Any packets the driver hands in are read without a fault.
    Decode(data, size);

    if (size == 0) {
        return 0;
    }
    // Any message goes out and comes back: the bytes up to and including its first 0xF7
    // (or all of them) are carried, nothing else.
    std::vector<unsigned char> message(data, data + size);
    size_t sent = 0;
    std::vector<unsigned char> packets = Encode(message, &sent);
    const unsigned char* end = (const unsigned char*)memchr(data, kSysexEnd, size);
    size_t expected = end != nullptr ? (size_t)(end - data) + 1 : size;
    Require(sent == expected);
    Require(packets.size() == KERNEL_MIDI_PACKET_SIZE * ((expected + 2) / 3));
    // Every packet goes out on the one cable the tool uses.
    for (size_t at = 0; at < packets.size(); at += KERNEL_MIDI_PACKET_SIZE) {
        Require((packets[at] & 0xF0) == 0xF0);
    }
    std::vector<unsigned char> back = Decode(packets.data(), packets.size());
    Require(back.size() == expected && memcmp(back.data(), data, expected) == 0);
    return 0;
}
