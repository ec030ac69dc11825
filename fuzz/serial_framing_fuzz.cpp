// The serial framing fed any byte stream. The OS half below serves the input one byte
// per read instead of a port: after the stream it reports silence (so a receive counts
// its read slices up to the time-out without sleeping) or, when the script asks, a failed
// read. Every receive gets a capacity taken from the input and a buffer of exactly that
// size, so a write past maxLength is a heap overflow.
#include "platform/text.h"
#include "transports/serial_port.h"
#include "transports/serial_port_os.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

const uint8_t* s_stream = nullptr;
size_t s_streamSize = 0;
size_t s_streamPos = 0;
int s_failAtEnd = 0;
// A read fails once, in place of the byte at this stream position; SIZE_MAX: none.
size_t s_failAt = SIZE_MAX;
int s_failed = 0;
size_t s_silentReads = 0;

const SerialHandle kPort = 7;

} // namespace

SerialHandle SerialOsOpen(int) {
    return kPort;
}
int SerialOsGetLineSettings(SerialHandle) {
    return 1;
}
int SerialOsSetLineSettings(SerialHandle, int) {
    return 1;
}
int SerialOsSetTimeouts(SerialHandle, int, int) {
    return 1;
}
int SerialOsReadByte(SerialHandle port, unsigned char* byte) {
    if (port != kPort) {
        abort();
    }
    if (s_streamPos == s_failAt && !s_failed) {
        s_failed = 1;
        return -1;
    }
    if (s_streamPos < s_streamSize) {
        *byte = s_stream[s_streamPos++];
        return 1;
    }
    if (s_failAtEnd) {
        return -1;
    }
    s_silentReads++;
    return 0;
}
int SerialOsWrite(SerialHandle, const unsigned char*, int) {
    return 1;
}
void SerialOsClose(SerialHandle) {}

// Input: [mode] [capacity count n] [n capacities] stream...
// mode bit 0: the read fails once the stream is used up instead of falling silent;
// bit 1: one read fails before the stream byte at position mode >> 2.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    s_failAtEnd = data[0] & 1;
    s_failAt = (data[0] & 2) ? (size_t)(data[0] >> 2) : SIZE_MAX;
    s_failed = 0;
    size_t capacityCount = (size_t)(data[1] % 8) + 1;
    if (size < 2 + capacityCount) {
        return 0;
    }
    const uint8_t* capacities = data + 2;
    s_stream = data + 2 + capacityCount;
    s_streamSize = size - 2 - capacityCount;
    s_streamPos = 0;
    s_silentReads = 0;

    char errorText[PATH_SIZE];
    if (SerialOpen(1, 38400, errorText) != 1) {
        abort();
    }
    // Every receive but the last consumes bytes; the last one, started on a used-up
    // stream, ends in silence or a failed read. Silence must give up on its own.
    for (size_t round = 0;; round++) {
        int exhausted = s_streamPos >= s_streamSize && (s_failed || s_failAt != s_streamPos);
        int maxLength = (int)capacities[round % capacityCount] + 1;
        unsigned char* buffer = (unsigned char*)malloc((size_t)maxLength);
        int result = SerialReceive(buffer, maxLength);
        if (result == 1 && buffer[0] != 0xF0) {
            abort();
        }
        free(buffer);
        if (result != 1 && result != 0 && result != -1) {
            abort();
        }
        // The failed read ends the receive it falls into, and only that one.
        if (s_failed == 1) {
            if (result != 0) {
                abort();
            }
            s_failed = 2;
        }
        if (exhausted) {
            if (result != (s_failAtEnd ? 0 : -1)) {
                abort();
            }
            break;
        }
    }
    SerialClose();
    return 0;
}
