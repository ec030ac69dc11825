// The rehearsal instrument answers whatever an updater sends it, whole messages or a
// byte stream: no input may crash it, and every reply it makes is one well-formed message.
#include "fuzz/fuzz_require.h"
#include "sim/virtual_instrument.h"
#include "update/update_messages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Takes every pending reply: F0 42 23, the instrument's product id, 7-bit bytes, F7.
void DrainReplies() {
    int pending = VirtualInstrumentPendingReplies();
    int taken = 0;
    for (;;) {
        unsigned char reply[VI_MAX_REPLY];
        uint32_t delayMs = 1;
        int length = VirtualInstrumentTakeReply(reply, (int)sizeof reply, &delayMs);
        if (length == 0) {
            break;
        }
        taken++;
        Require(length >= 6 && length <= VI_MAX_REPLY);
        Require(delayMs == 0);
        Require(reply[0] == SYSEX_START && reply[1] == MSG_MAKER_ID && reply[2] == MSG_VUP_ID);
        Require(reply[3] == 0x3C);
        Require(reply[length - 1] == SYSEX_END);
        for (int i = 3; i < length - 1; i++) {
            Require(reply[i] < 0x80);
        }
    }
    Require(taken == pending);
    Require(VirtualInstrumentPendingReplies() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks how the bytes arrive and a few of the instrument's settings
    // (the rest stay the defaults); a small flash window keeps each reset cheap.
    if (size < 1) {
        return 0;
    }
    const unsigned char choice = data[0];
    data++;
    size--;
    VirtualInstrumentConfig config;
    VirtualInstrumentDefaultConfig(&config);
    config.flashSize = 64u * 1024u;
    config.protocolCode = (choice >> 1) & 1;
    config.deviceFlags = (unsigned char)((choice >> 2) & (DEVICE_FLAG_RAW | DEVICE_FLAG_FILL));
    config.writeSteps = (choice & 0x10) ? 2 : 0;
    config.sendZeroTotalProgress = (choice & 0x20) ? 1 : 0;
    if (choice & 0x40) {
        config.memberId = 5;
    }
    if (choice & 0x80) {
        config.blockDataSize[1] = 300;
    }
    VirtualInstrumentReset(&config);
    Require(VirtualInstrumentMessageCount() == 0 && VirtualInstrumentPendingReplies() == 0);

    if ((choice & 1) == 0) {
        // Whole messages: each ends at its 0xF7 (or at the end of the input), as a
        // transport that frames messages hands them over.
        int messages = 0;
        size_t start = 0;
        while (start < size) {
            size_t end = start;
            while (end < size && data[end] != SYSEX_END) {
                end++;
            }
            if (end < size) {
                end++;
            }
            VirtualInstrumentHandleMessage(data + start, (int)(end - start));
            messages++;
            DrainReplies();
            start = end;
        }
        Require(VirtualInstrumentMessageCount() == messages);
        for (int i = 0; i < messages; i++) {
            unsigned char record[4];
            Require(VirtualInstrumentMessage(i, record, (int)sizeof record) > 0);
        }
    } else {
        // A byte stream in two pieces, split where the input says.
        size_t split = size > 0 ? data[0] % (size + 1) : 0;
        VirtualInstrumentFeed(data, (int)split);
        DrainReplies();
        VirtualInstrumentFeed(data + split, (int)(size - split));
        DrainReplies();
        Require(VirtualInstrumentForeignByteCount() <= (int)size);
    }
    Require(VirtualInstrumentPacketCount() <= VirtualInstrumentMessageCount());
    unsigned char flash[16];
    Require(VirtualInstrumentFlashRead(0, flash, sizeof flash) == 1);
    Require(VirtualInstrumentFlashWrittenCount(0, 4096) <= 4096);
    return 0;
}
