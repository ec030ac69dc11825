// The Linux MIDI transport's message assembly fed any byte stream. The raw MIDI port below
// serves the input in reads of the sizes the input asks for and is silent after it, so
// every receive (with no time to wait) takes what the stream holds. Each receive gets a
// buffer of exactly the capacity the input gives, so a write past it is a heap overflow.
// Whatever the stream, a message handed on is whole (F0, 7-bit bytes, F7), fits, and is
// the stream's own bytes in the stream's order, real-time bytes left out.
#include "midi/midi_rawmidi.h"
#include "midi/midi_transport.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t* s_stream = nullptr;
size_t s_streamSize = 0;
size_t s_streamPos = 0;
const uint8_t* s_readSizes = nullptr;
size_t s_readSizeCount = 0;
size_t s_reads = 0;

const RawMidiHandle kPort = 7;

void Require(bool condition) {
    if (!condition) {
        abort();
    }
}

} // namespace

int RawMidiListPorts(RawMidiPortInfo* ports, int capacity) {
    if (capacity > 0) {
        memset(&ports[0], 0, sizeof ports[0]);
        ports[0].canInput = 1;
        ports[0].canOutput = 1;
        TextCopy(ports[0].id, sizeof ports[0].id, "hw:0,0,0");
        TextCopy(ports[0].name, sizeof ports[0].name, "ORVENT");
    }
    return 1;
}

int RawMidiOpen(const char*, int, RawMidiHandle* handle, int*) {
    *handle = kPort;
    return 1;
}

int RawMidiRead(RawMidiHandle handle, unsigned char* bytes, int capacity, int) {
    Require(handle == kPort && capacity > 0);
    size_t left = s_streamSize - s_streamPos;
    if (left == 0) {
        return 0;
    }
    size_t size = (size_t)s_readSizes[s_reads++ % s_readSizeCount] % 64 + 1;
    size = size < left ? size : left;
    size = size < (size_t)capacity ? size : (size_t)capacity;
    memcpy(bytes, s_stream + s_streamPos, size);
    s_streamPos += size;
    return (int)size;
}

int RawMidiWrite(RawMidiHandle, const unsigned char*, int) {
    return 1;
}

void RawMidiClose(RawMidiHandle) {}

// Input: [abort round] [capacity count n] [n capacities] [read size count m] [m sizes]
// stream...
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    const size_t abortRound = data[0];
    const size_t capacityCount = (size_t)(data[1] % 8) + 1;
    if (size < 3 + capacityCount) {
        return 0;
    }
    const uint8_t* capacities = data + 2;
    s_readSizeCount = (size_t)(data[2 + capacityCount] % 8) + 1;
    size_t header = 3 + capacityCount + s_readSizeCount;
    if (size < header) {
        return 0;
    }
    s_readSizes = data + 3 + capacityCount;
    s_stream = data + header;
    s_streamSize = size - header;
    s_streamPos = 0;
    s_reads = 0;

    // The stream without its real-time bytes: every message must be found in it, in order.
    std::vector<uint8_t> plain;
    for (size_t i = 0; i < s_streamSize; i++) {
        if (s_stream[i] < 0xF8) {
            plain.push_back(s_stream[i]);
        }
    }
    size_t searchFrom = 0;

    char errorText[PATH_SIZE];
    Require(MidiOpen("hw:0,0", "ORVENT", errorText, 0) == 1);
    for (size_t round = 0; round < 4096; round++) {
        if (round == abortRound) {
            MidiAbortReceive();
        }
        int capacity = (int)capacities[round % capacityCount] + 1;
        unsigned char* buffer = (unsigned char*)malloc((size_t)capacity);
        int result = MidiReceive(buffer, capacity, 0);
        if (round >= abortRound) {
            Require(result == -2);
            free(buffer);
            break;
        }
        if (result == 1) {
            int length = 1;
            while (length < capacity && buffer[length] != 0xF7) {
                Require(buffer[length] < 0x80);
                length++;
            }
            Require(buffer[0] == 0xF0 && length < capacity && buffer[length] == 0xF7);
            length++;
            auto at = std::search(plain.begin() + (std::ptrdiff_t)searchFrom, plain.end(), buffer,
                                  buffer + length);
            Require(at != plain.end());
            searchFrom = (size_t)(at - plain.begin()) + (size_t)length;
        } else {
            Require(result == -1);
        }
        free(buffer);
        if (result == -1 && s_streamPos >= s_streamSize) {
            break;
        }
    }
    MidiClose();
    return 0;
}
