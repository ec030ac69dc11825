// Choosing a run from its seed. Every choice draws from one generator in a fixed order, so
// a seed names its run for good: reorder no draw, or old seeds name other runs.
#include "sim/soak_scenario.h"

#include "platform/text.h"
#include "sim/soak_model.h"
#include "sysfile/system_file.h"
#include "update/device_type.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) {
        return n == 0 ? 0 : (uint32_t)(Next() % n);
    }
    int Range(int lo, int hi) {
        return lo + (int)Below((uint32_t)(hi - lo + 1));
    }
    bool Chance(int percent) {
        return Below(100) < (uint32_t)percent;
    }
};

Id RandomId(Rng* rng, bool adoptable) {
    Id id;
    const int form = rng->Below(100);
    if (form < 70 || (adoptable && form >= 85)) {
        id.bytes[0] = (unsigned char)rng->Range(1, 0x7F);
        id.bytes[1] = id.bytes[2] = PRODUCT_ID_ABSENT;
    } else if (form < 85) {
        id.bytes[0] = 0;
        id.bytes[1] = (unsigned char)rng->Range(0, 0x7F);
        id.bytes[2] = (unsigned char)rng->Range(0, 0x7F);
    } else {
        id.bytes[0] = (unsigned char)rng->Range(1, 0x7F);
        id.bytes[1] = (unsigned char)rng->Range(0, 0x7F);
        id.bytes[2] = PRODUCT_ID_ABSENT;
    }
    return id;
}

// Another id of the same form, so a message framed for one is framed alike for the other.
Id OtherIdOfSameForm(Rng* rng, const Id& id) {
    Id other = id;
    int at = id.bytes[0] == 0 ? 1 + (int)rng->Below(2) : 0;
    int low = at == 0 ? 1 : 0;
    do {
        other.bytes[at] = (unsigned char)rng->Range(low, 0x7F);
    } while (SoakSameId(other, id));
    return other;
}

int PickCount(Rng* rng, const int* weights, int count) {
    int total = 0;
    for (int i = 0; i < count; i++) {
        total += weights[i];
    }
    int roll = (int)rng->Below((uint32_t)total);
    for (int i = 0; i < count; i++) {
        if (roll < weights[i]) {
            return i;
        }
        roll -= weights[i];
    }
    return count - 1;
}

std::string RandomText(Rng* rng) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string text;
    const int words = rng->Range(1, 4);
    for (int w = 0; w < words; w++) {
        if (w > 0) {
            text += ' ';
        }
        const int length = rng->Range(1, 5);
        for (int i = 0; i < length; i++) {
            text += letters[rng->Below(sizeof letters - 1)];
        }
    }
    return text;
}

void Note(Scenario* s, const std::string& text) {
    s->choices.push_back(text);
}

// ---- The updater's switches and the transport -------------------------------------------

void ChooseSwitches(Rng* rng, Scenario* s) {
    s->deviceType = (int)rng->Below(4);
    s->skipVersionCheck = rng->Chance(15);
    s->skipDeviceCheck = rng->Chance(25);
    s->showLog = rng->Chance(70);
    s->surplus = 0;

    SimTransportDefaultConfig(&s->transport);
    s->transport.midiTickUs = kMidiTickUs;
    s->transport.serialTimeoutMs = kSerialTimeoutMs;
    s->transport.usbWaitLimitMs = kUsbWaitLimitMs;
    s->transport.kernelTimeoutMs = kKernelTimeoutMs;
}

// ---- The instrument ---------------------------------------------------------------------

// Its flash, reply delay, product and member id and protocol; returns the product id.
Id ChooseInstrument(Rng* rng, Scenario* s) {
    VirtualInstrumentConfig& vi = s->instrument;
    VirtualInstrumentDefaultConfig(&vi);
    vi.flashBase = rng->Chance(50) ? 0 : 0x40000;
    vi.flashSize = kFlashSize;
    vi.replyDelayMs = rng->Range(0, 2);
    // An updater that skips the device check takes over the id of the instrument that
    // answers; only ids it can take over are given to instruments it may meet so.
    const Id instrumentId = RandomId(rng, s->skipDeviceCheck != 0);
    std::memcpy(vi.productId, instrumentId.bytes, 3);
    vi.memberId = rng->Chance(40) ? (unsigned char)rng->Range(0, 0x7F) : 0xFF;
    vi.protocolCode = rng->Chance(50) ? 0 : 1;
    if (rng->Chance(3)) {
        vi.protocolCode = 2;
        Note(s, "instrument speaks protocol code 2");
    }
    return instrumentId;
}

// The packet size the instrument announces; returns the one the file is cut for.
uint32_t ChoosePacketSize(Rng* rng, Scenario* s, bool* largePackets) {
    VirtualInstrumentConfig& vi = s->instrument;
    static const uint32_t sizes[] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096};
    static const int sizeWeights[] = {10, 15, 15, 20, 20, 10, 6, 3, 1};
    vi.packetSize = sizes[PickCount(rng, sizeWeights, 9)];
    const int sizeKind = (int)rng->Below(100);
    *largePackets = false;
    if (sizeKind < 8) {
        vi.packetSize = (uint32_t)rng->Range(1, 3000); // sizes no table would pick
    } else if (sizeKind < 11) {
        // Up to the updater's data buffer; 14 bits cannot announce the larger ones.
        static const uint32_t large[] = {8192, 16383, 32767, 32768};
        vi.packetSize = large[rng->Below(4)];
        if (vi.packetSize > 0x3FFF && vi.protocolCode == 0) {
            vi.protocolCode = 1;
        }
        *largePackets = true;
    }
    uint32_t packetSize = vi.packetSize;
    if (s->deviceType == DEVICE_TYPE_MIDI && packetSize > 1024) {
        packetSize = 1024;
    }
    if (rng->Chance(5)) {
        static const uint32_t refused[] = {0, 16384, 65536};
        vi.packetSize = refused[rng->Below(3)];
        Note(s, SoakFormat("packet size %u announced", vi.packetSize));
        packetSize = 256; // the file is cut for a size that works
    }
    return packetSize;
}

void ChooseWriting(Rng* rng, Scenario* s) {
    VirtualInstrumentConfig& vi = s->instrument;
    vi.deviceFlags = (unsigned char)rng->Below(4);
    if (s->deviceType == DEVICE_TYPE_MIDI) {
        vi.linkPacketLimit = 1024;
    }
    vi.writeSteps = rng->Chance(40) ? rng->Range(1, 5) : 0;
    vi.sendZeroTotalProgress = vi.writeSteps > 0 && rng->Chance(30);
}

// ---- The file ---------------------------------------------------------------------------

// The product and member id the file names.
void ChooseFileOwner(Rng* rng, Scenario* s, const Id& instrumentId, Id* fileId,
                     unsigned char* fileMember) {
    const VirtualInstrumentConfig& vi = s->instrument;
    *fileId = instrumentId;
    *fileMember = vi.memberId;
    if (vi.memberId < MEMBER_ID_ABSENT_FROM && rng->Chance(15)) {
        *fileMember = 0xFF; // an instrument with a member id takes a file without one
    } else if (vi.memberId >= MEMBER_ID_ABSENT_FROM && rng->Chance(30)) {
        *fileMember = (unsigned char)rng->Range(0, 0x7F); // and one without takes any
    }
    if (vi.memberId < MEMBER_ID_ABSENT_FROM && rng->Chance(3)) {
        *fileMember = (unsigned char)((vi.memberId + rng->Range(1, 0x7F)) & 0x7F);
        Note(s, "the file names another member id");
    }
    if (rng->Chance(5)) {
        // A file for another product of the same id length, so the instrument finds the
        // message code where the updater put it.
        *fileId = OtherIdOfSameForm(rng, instrumentId);
        Note(s, "the file is for another product");
    }
}

// Distinct block codes in the first blockCount places; each travels as one data byte of
// a message, so below 0x80.
std::vector<int> ShuffledCodes(Rng* rng, int blockCount) {
    std::vector<int> codes;
    for (int code = 0; code < 0x80; code++) {
        codes.push_back(code);
    }
    for (int i = 0; i < blockCount; i++) {
        std::swap(codes[(size_t)i], codes[(size_t)i + rng->Below((uint32_t)(0x80 - i))]);
    }
    return codes;
}

// Whole packets of one value, which may go out as fill packets, and packets of one value
// but for their first or last byte, which may not.
void ChooseRuns(Rng* rng, VsbBlock* b, uint32_t packets, uint32_t packetSize) {
    for (uint32_t k = 0; k < packets && b->runCount < VSB_MAX_RUNS; k++) {
        const unsigned char value = (unsigned char)(rng->Chance(50) ? 0xFF : rng->Below(256));
        const int kind = (int)rng->Below(100);
        if (kind < 25) {
            b->runs[b->runCount++] = {k * packetSize, packetSize, value};
        } else if (kind < 35) {
            const uint32_t skipFirst = rng->Chance(50) ? 1 : 0;
            b->runs[b->runCount++] = {k * packetSize + skipFirst, packetSize - 1, value};
            if (b->runCount < VSB_MAX_RUNS) {
                const uint32_t odd = k * packetSize + (skipFirst ? 0 : packetSize - 1);
                b->runs[b->runCount++] = {odd, 1, (unsigned char)(value ^ 0x01)};
            }
        }
    }
}

// One block at *cursor, of whole packets; *cursor moves past it and a gap.
VsbBlock ChooseBlock(Rng* rng, int code, const Id& fileId, unsigned char fileMember,
                     uint32_t packetSize, bool largePackets, uint32_t* cursor) {
    static const int packetWeights[] = {0, 40, 30, 15, 8, 4, 3};
    VsbBlock b;
    VsbBlockDefaults(&b);
    b.blockCode = (unsigned char)code;
    TextCopy(b.blockName, sizeof b.blockName, SoakFormat("BLK%d", b.blockCode).c_str());
    std::memcpy(b.productId, fileId.bytes, 3);
    b.memberId = fileMember;
    b.versionMajor = (unsigned char)rng->Range(1, 3);
    b.versionMinor = (unsigned char)rng->Range(0, 99);
    const uint32_t packets =
        std::min((uint32_t)PickCount(rng, packetWeights, 7), largePackets ? 2u : 6u);
    b.offset = rng->Chance(50) ? 0 : packetSize * (uint32_t)rng->Range(1, 3);
    b.dataSize = packets * packetSize;
    b.address = *cursor;
    *cursor += b.offset + b.dataSize + 16u * rng->Below(64);
    b.content = VSB_CONTENT_RANDOM;
    b.seed = (uint32_t)rng->Next();
    ChooseRuns(rng, &b, packets, packetSize);
    return b;
}

// What the instrument holds of the block: older, the same or newer; where it lies and
// whether it knows its size.
void ChooseHeld(Rng* rng, VirtualInstrumentConfig* vi, const VsbBlock& b, bool allCurrent) {
    static const int heldWeights[] = {70, 15, 15};
    const int held = allCurrent ? 1 + (int)rng->Below(2) : PickCount(rng, heldWeights, 3);
    int major = b.versionMajor;
    int minor = b.versionMinor;
    if (held == 0) {
        minor -= rng->Range(1, 20);
    } else if (held == 2) {
        minor += rng->Range(1, 20);
    }
    if (minor < 0) {
        major--;
        minor += 100;
    } else if (minor > 99) {
        major++;
        minor -= 100;
    }
    vi->versionMajor[b.blockCode] = (unsigned char)major;
    vi->versionMinor[b.blockCode] = (unsigned char)minor;
    // Protocol 0 tells the instrument neither address nor size: it knows them.
    vi->blockAddress[b.blockCode] = b.address;
    vi->blockDataSize[b.blockCode] = rng->Chance(80) ? b.dataSize : 0;
}

// The file: blocks one after the other in flash, with gaps, each of whole packets.
void ChooseBlocks(Rng* rng, Scenario* s, const Id& instrumentId, uint32_t packetSize,
                  bool largePackets) {
    static const int blockWeights[] = {0, 35, 25, 15, 10, 5, 4, 3, 3};
    VirtualInstrumentConfig& vi = s->instrument;
    const int blockCount = std::min(PickCount(rng, blockWeights, 9), largePackets ? 3 : 8);
    Id fileId;
    unsigned char fileMember;
    ChooseFileOwner(rng, s, instrumentId, &fileId, &fileMember);
    const bool allCurrent = rng->Chance(5);
    uint32_t cursor = vi.flashBase + 16u * rng->Below(64);
    const std::vector<int> codes = ShuffledCodes(rng, blockCount);
    for (int i = 0; i < blockCount; i++) {
        const VsbBlock b = ChooseBlock(rng, codes[(size_t)i], fileId, fileMember, packetSize,
                                       largePackets, &cursor);
        ChooseHeld(rng, &vi, b, allCurrent);
        s->blocks.push_back(b);
    }
    if (allCurrent) {
        Note(s, "the instrument holds every block already");
    }
}

// Refusals of the file or of its fit to the instrument.
void ChooseRefusal(Rng* rng, Scenario* s, uint32_t packetSize) {
    VirtualInstrumentConfig& vi = s->instrument;
    VsbBlock& victim = s->blocks[rng->Below((uint32_t)s->blocks.size())];
    const int refusal = (int)rng->Below(100);
    if (refusal < 3 && packetSize >= 2) {
        if (rng->Chance(50)) {
            victim.dataSize += packetSize / 2;
        } else {
            victim.offset += packetSize / 2;
        }
        Note(s, SoakFormat("block %d does not fit the packet size", victim.blockCode));
    } else if (refusal < 5) {
        victim.address = vi.flashBase + vi.flashSize + 0x1000;
        vi.blockAddress[victim.blockCode] = victim.address;
        Note(s, SoakFormat("block %d lies outside the flash", victim.blockCode));
    } else if (refusal < 7) {
        victim.dataSize = 0;
        victim.runCount = 0;
        vi.blockDataSize[victim.blockCode] = 0;
        Note(s, SoakFormat("block %d is empty", victim.blockCode));
    } else if (refusal < 9) {
        s->surplus =
            rng->Chance(50) ? (uint32_t)rng->Range(1, 255) : (uint32_t)rng->Range(256, 600);
        Note(s, SoakFormat("%u surplus bytes after the last block", s->surplus));
    } else if (refusal < 10) {
        victim.badMagic = 1;
        Note(s, SoakFormat("block %d has a bad magic", victim.blockCode));
    } else if (refusal < 11 && s->blocks.back().dataSize > 0) {
        s->blocks.back().missingDataBytes = (uint32_t)rng->Range(1, (int)s->blocks.back().dataSize);
        Note(s, "the last block's data is cut short");
    }
}

void FillBlockData(Scenario* s) {
    for (const VsbBlock& b : s->blocks) {
        std::vector<unsigned char> bytes(b.dataSize);
        char errorText[TEXT_SIZE] = "";
        if (b.dataSize > 0 && VsbBlockData(&b, bytes.data(), b.dataSize, errorText) != 1) {
            std::fprintf(stderr, "update-soak: block data: %s\n", errorText);
            std::exit(2);
        }
        s->data.push_back(bytes);
    }
}

// ---- What goes wrong --------------------------------------------------------------------

// A fault of the instrument at a place the run reaches, mostly: the run without one
// (clean) tells where.
void ChooseFault(Rng* rng, Scenario* s, const Prediction& clean, const Id& instrumentId) {
    VirtualInstrumentConfig& vi = s->instrument;
    vi.fault = (VirtualFault)rng->Range(VI_FAULT_NO_REPLY, VI_FAULT_WRITE_STALLS);
    if (vi.fault == VI_FAULT_OTHER_PRODUCT || vi.fault == VI_FAULT_SILENT_FROM_PACKET ||
        vi.fault == VI_FAULT_STATUS || vi.fault == VI_FAULT_EXTENDED_STATUS) {
        const int reach = vi.fault == VI_FAULT_OTHER_PRODUCT ? clean.messages : clean.packets;
        vi.faultAt = (int)rng->Below((uint32_t)reach + 2);
    } else if (vi.fault == VI_FAULT_WRITE_STALLS) {
        vi.faultAt = rng->Range(0, vi.writeSteps + 1);
    } else {
        vi.faultAt = (int)rng->Below((uint32_t)clean.messages + 2);
    }
    vi.faultStatus =
        vi.fault == VI_FAULT_EXTENDED_STATUS ? rng->Range(0x40, 0x7F) : rng->Range(1, 0x3F);
    TextCopy(vi.faultText, sizeof vi.faultText, RandomText(rng).c_str());
    vi.faultDelayMs =
        rng->Chance(50) ? rng->Range(1, kShortDelayMaxMs)
                        : (s->deviceType == DEVICE_TYPE_USB_BULK ? kUsbLateDelayMs : kNeverDelayMs);
    vi.otherProductId[0] = vi.otherProductId[1] = vi.otherProductId[2] = PRODUCT_ID_ABSENT;
    const Id other = OtherIdOfSameForm(rng, instrumentId);
    std::memcpy(vi.otherProductId, other.bytes, 3);
    Note(s, SoakFormat("fault %s at %d", SoakFaultName(vi.fault), vi.faultAt));
}

void ChooseFailingSend(Rng* rng, Scenario* s, const Prediction& clean) {
    s->transport.failSendAt = (int)rng->Below((uint32_t)clean.sends + 2);
    static const int results[] = {0, -1, -2};
    s->transport.failSendResult = results[rng->Below(3)];
    Note(s,
         SoakFormat("send %d fails with %d", s->transport.failSendAt, s->transport.failSendResult));
}

// The user's stop, timed within what the run with its faults takes.
void ChooseStop(Rng* rng, Scenario* s) {
    Prediction faulted = SoakPredict(*s);
    s->stop = rng->Chance(40) ? STOP_CONTINUE : STOP_ABORT;
    s->stopAtMs = (int)rng->Below((uint32_t)faulted.estimateMs + 30);
    s->stopHoldMs = rng->Chance(30) ? rng->Range(60, 150) : (int)rng->Below(30);
    Note(s, SoakFormat("%s after %d ms (dialog open %d ms)",
                       s->stop == STOP_CONTINUE ? "stop and continue" : "stop and abort",
                       s->stopAtMs, s->stopHoldMs));
}

} // namespace

std::string SoakFormat(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* SoakFaultName(VirtualFault fault) {
    static const char* const names[] = {"none",           "no reply",        "delay",
                                        "status",         "extended status", "other product",
                                        "garbage",        "wrong code",      "silent from packet",
                                        "refuse message", "write stalls"};
    return fault >= 0 && fault <= VI_FAULT_WRITE_STALLS ? names[fault] : "?";
}

Scenario SoakChoose(uint64_t seed) {
    Rng rng{seed};
    Scenario s;
    s.seed = seed;
    ChooseSwitches(&rng, &s);
    const Id instrumentId = ChooseInstrument(&rng, &s);
    bool largePackets = false;
    const uint32_t packetSize = ChoosePacketSize(&rng, &s, &largePackets);
    ChooseWriting(&rng, &s);
    ChooseBlocks(&rng, &s, instrumentId, packetSize, largePackets);
    ChooseRefusal(&rng, &s, packetSize);
    FillBlockData(&s);

    s.stop = STOP_NONE;
    s.stopAtMs = 0;
    s.stopHoldMs = 0;
    const Prediction clean = SoakPredict(s);
    if (rng.Chance(65)) {
        ChooseFault(&rng, &s, clean, instrumentId);
    }
    if (rng.Chance(10)) {
        ChooseFailingSend(&rng, &s, clean);
    }
    if (rng.Chance(25)) {
        ChooseStop(&rng, &s);
    }
    return s;
}
