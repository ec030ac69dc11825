#include "cli/rehearsal.h"

#include "platform/text.h"
#include "sim/pty_instrument_server.h"

namespace {

// A window below 64 KiB would not hold even a small sample's blocks.
const uint64_t kFlashSizeMin = 64u * 1024u;

// The rate only sets the line up as a serial line; a pseudo-terminal carries the bytes at
// whatever rate the transport asks for.
const int kRehearsalBaudRate = 38400;

int Fail(const char* text, char* errorText) {
    TextCopy(errorText, TEXT_SIZE, text);
    RehearsalStop();
    return 0;
}

} // namespace

void RehearsalConfigForFile(const std::vector<SystemFileHeader>& blocks,
                            VirtualInstrumentConfig* config) {
    VirtualInstrumentDefaultConfig(config);
    if (blocks.empty()) {
        return;
    }
    for (int i = 0; i < 3; i++) {
        config->productId[i] = blocks[0].productId[i];
    }
    config->memberId = blocks[0].memberId;
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;
    for (const SystemFileHeader& h : blocks) {
        config->blockAddress[h.blockCode] = h.address;
        config->blockDataSize[h.blockCode] = h.dataSize;
        const uint64_t start = (uint64_t)h.address + h.offset;
        const uint64_t end = start + h.dataSize;
        low = (uint64_t)h.address < low ? (uint64_t)h.address : low;
        high = end > high ? end : high;
    }
    uint64_t size = high - low < kFlashSizeMin ? kFlashSizeMin : high - low;
    // The instrument's window is 32-bit; a file beyond it finds its writes refused.
    if (low + size > 0xFFFFFFFFull) {
        size = 0xFFFFFFFFull - low;
    }
    config->flashBase = (uint32_t)low;
    config->flashSize = (uint32_t)size;
}

int RehearsalStart(const VirtualInstrumentConfig* config, char* devicePath, char* errorText) {
    RehearsalStop();
    VirtualInstrumentReset(config);
    const PtyServerSettings line = {nullptr, kRehearsalBaudRate, 0, nullptr, nullptr};
    if (!PtyServerOpen(&line, devicePath)) {
        return Fail("No pseudo-terminal for the rehearsal", errorText);
    }
    if (!PtyServerStart()) {
        return Fail("No thread for the rehearsal", errorText);
    }
    return 1;
}

void RehearsalStop(void) {
    PtyServerClose();
}
