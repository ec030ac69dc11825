// The instrument's side of the update protocol. It parses every message on its own,
// without the updater's message code, so that a mistake in one side shows up as a
// refused packet or a wrong flash image instead of cancelling out.
#include "sim/virtual_instrument.h"

#include "platform/text.h"
#include "update/update_messages.h"

#include <cstring>
#include <mutex>
#include <vector>

#define VI_REPLY_QUEUE_SIZE 64
#define VI_LARGEST_PACKET 32768u

// Status bytes the instrument sends (texts on the updater's side).
#define VI_STATUS_OK 0
#define VI_STATUS_PRODUCT_ID 1
#define VI_STATUS_MEMBER_ID 2
#define VI_STATUS_FORMAT 3
#define VI_STATUS_PACKET_NUMBER 5
#define VI_STATUS_CHECKSUM 6
#define VI_STATUS_HARDWARE 8

namespace {

struct ReplyPiece {
    unsigned char bytes[VI_MAX_REPLY];
    int length;
    uint32_t delayMs;
};

// The block announced by the latest set mode.
struct BlockState {
    int active;
    int failed;      // a packet of it was refused: it never counts as written
    int raw;         // data packets carry 8-bit data
    int sizeLearned; // protocol 0: a data packet has fixed the packet size
    unsigned char code;
    unsigned char versionMajor;
    unsigned char versionMinor;
    uint32_t address;
    uint32_t dataSize; // 0: unknown
    uint32_t packetSize;
    uint32_t bytesReceived;
    uint32_t packetsReceived;
    uint32_t nextPacket;
};

struct Instrument {
    std::mutex lock;
    int initialized;
    VirtualInstrumentConfig config;
    unsigned char versionMajor[256];
    unsigned char versionMinor[256];
    std::vector<unsigned char> flash;
    std::vector<unsigned char> writtenBits;
    std::vector<unsigned char> records;
    std::vector<uint32_t> recordEnds;
    ReplyPiece replies[VI_REPLY_QUEUE_SIZE];
    int replyHead;
    int replyCount;
    int packetMessages; // data and fill packets received, answered or not
    int acknowledged;
    int silent;
    BlockState block;
    // Byte-stream framing.
    unsigned char feed[VI_MAX_MESSAGE];
    int feedLength;
    int feedActive;
    int feedExpected; // raw data packet: its whole length; 0 otherwise
    int feedOverflow;
    int foreignBytes;
};

Instrument g_virtualInstrument;

// Where the instrument's own identity ends: 3 + the product id bytes it sends.
int ProductIdLength(const unsigned char* id) {
    if (id[1] == PRODUCT_ID_ABSENT) {
        return 1;
    }
    return id[2] == PRODUCT_ID_ABSENT ? 2 : 3;
}

const unsigned char* ActiveProductId(int messageIndex) {
    const VirtualInstrumentConfig& c = g_virtualInstrument.config;
    if (c.fault == VI_FAULT_OTHER_PRODUCT && messageIndex >= c.faultAt) {
        return c.otherProductId;
    }
    return c.productId;
}

void ResetLocked(const VirtualInstrumentConfig* config) {
    Instrument& vi = g_virtualInstrument;
    vi.config = *config;
    vi.config.faultText[sizeof vi.config.faultText - 1] = 0;
    memcpy(vi.versionMajor, config->versionMajor, sizeof vi.versionMajor);
    memcpy(vi.versionMinor, config->versionMinor, sizeof vi.versionMinor);
    vi.flash.assign(config->flashSize, 0xFF);
    vi.writtenBits.assign((config->flashSize + 7u) / 8u, 0);
    vi.records.clear();
    vi.records.reserve(1u << 20);
    vi.recordEnds.clear();
    vi.replyHead = 0;
    vi.replyCount = 0;
    vi.packetMessages = 0;
    vi.acknowledged = 0;
    vi.silent = 0;
    memset(&vi.block, 0, sizeof vi.block);
    vi.feedLength = 0;
    vi.feedActive = 0;
    vi.feedExpected = 0;
    vi.feedOverflow = 0;
    vi.foreignBytes = 0;
    vi.initialized = 1;
}

// A process that never configured the instrument (the stand-in MIDI driver) still gets
// a working one.
void EnsureInitializedLocked(void) {
    if (!g_virtualInstrument.initialized) {
        VirtualInstrumentConfig config;
        VirtualInstrumentDefaultConfig(&config);
        ResetLocked(&config);
    }
}

ReplyPiece* ReplySlot(int queuedIndex) {
    return &g_virtualInstrument
                .replies[(g_virtualInstrument.replyHead + queuedIndex) % VI_REPLY_QUEUE_SIZE];
}

void QueuePiece(const unsigned char* bytes, int length) {
    Instrument& vi = g_virtualInstrument;
    // The protocol has one request in flight; a full queue means nobody is reading, and
    // the newest piece is the one to lose.
    if (vi.replyCount >= VI_REPLY_QUEUE_SIZE) {
        return;
    }
    ReplyPiece* piece = ReplySlot(vi.replyCount);
    if (length > VI_MAX_REPLY) {
        length = VI_MAX_REPLY;
    }
    memcpy(piece->bytes, bytes, (size_t)length);
    piece->length = length;
    piece->delayMs = (uint32_t)(vi.config.replyDelayMs > 0 ? vi.config.replyDelayMs : 0);
    vi.replyCount++;
}

// A reply under construction: F0 42 23, the instrument's id, the code, then payload.
struct Reply {
    unsigned char bytes[VI_MAX_REPLY];
    int length;
};

void ReplyBegin(Reply* reply, int messageIndex, unsigned char code) {
    const unsigned char* id = ActiveProductId(messageIndex);
    int idLength = ProductIdLength(id);
    reply->bytes[0] = SYSEX_START;
    reply->bytes[1] = MSG_MAKER_ID;
    reply->bytes[2] = MSG_VUP_ID;
    memcpy(reply->bytes + 3, id, (size_t)idLength);
    reply->bytes[3 + idLength] = code;
    reply->length = 4 + idLength;
}

void ReplyByte(Reply* reply, unsigned char value) {
    // One byte is always kept for the closing 0xF7.
    if (reply->length < VI_MAX_REPLY - 1) {
        reply->bytes[reply->length++] = value;
    }
}

void Reply14Bit(Reply* reply, uint32_t value) {
    ReplyByte(reply, (unsigned char)((value >> 7) & 0x7F));
    ReplyByte(reply, (unsigned char)(value & 0x7F));
}

void Reply28Bit(Reply* reply, uint32_t value) {
    ReplyByte(reply, (unsigned char)((value >> 21) & 0x7F));
    ReplyByte(reply, (unsigned char)((value >> 14) & 0x7F));
    ReplyByte(reply, (unsigned char)((value >> 7) & 0x7F));
    ReplyByte(reply, (unsigned char)(value & 0x7F));
}

void ReplySend(Reply* reply) {
    reply->bytes[reply->length++] = SYSEX_END;
    QueuePiece(reply->bytes, reply->length);
}

void SendStatus(int messageIndex, int status) {
    Reply reply;
    ReplyBegin(&reply, messageIndex, MSG_STATUS);
    ReplyByte(&reply, (unsigned char)status);
    if (status == VI_STATUS_PRODUCT_ID) {
        // The instrument names its member id after a product id error, so an updater
        // that adopts the instrument's identity can take it over too.
        unsigned char memberId = g_virtualInstrument.config.memberId;
        if (memberId < MEMBER_ID_ABSENT_FROM) {
            ReplyByte(&reply, memberId);
        }
    }
    ReplySend(&reply);
}

void SendExtendedStatus(int messageIndex, int status, const char* text) {
    Reply reply;
    ReplyBegin(&reply, messageIndex, MSG_STATUS);
    ReplyByte(&reply, (unsigned char)status);
    for (const char* c = text; *c != 0; c++) {
        ReplyByte(&reply, (unsigned char)(*c & 0x7F));
    }
    // The terminator must survive a text too long for the reply.
    if (reply.length >= VI_MAX_REPLY - 1) {
        reply.length = VI_MAX_REPLY - 2;
    }
    ReplyByte(&reply, 0);
    ReplySend(&reply);
}

uint32_t Decode14(const unsigned char* p) {
    return ((uint32_t)p[0] << 7) | p[1];
}

uint32_t Decode28(const unsigned char* p) {
    return ((uint32_t)p[0] << 21) | ((uint32_t)p[1] << 14) | ((uint32_t)p[2] << 7) | p[3];
}

int PacketNumberLength(void) {
    return g_virtualInstrument.config.protocolCode == 0 ? 2 : 4;
}

int AllBelow0x80(const unsigned char* bytes, int count) {
    for (int i = 0; i < count; i++) {
        if (bytes[i] >= 0x80) {
            return 0;
        }
    }
    return 1;
}

// Reverses the 7-bit packing: groups of a leading byte with the bit 7s and up to seven
// bytes. Returns the data length, or -1 when the packing is malformed (a lone leading
// byte, or a leading byte with bits beyond its short group).
int Unpack7Bit(const unsigned char* packed, int count, unsigned char* out) {
    int written = 0;
    int position = 0;
    while (position < count) {
        int groupBytes = count - position - 1;
        if (groupBytes > 7) {
            groupBytes = 7;
        }
        if (groupBytes < 1) {
            return -1;
        }
        unsigned char leading = packed[position];
        if ((leading >> groupBytes) != 0) {
            return -1;
        }
        for (int k = 0; k < groupBytes; k++) {
            out[written++] =
                (unsigned char)(packed[position + 1 + k] | (((leading >> k) & 1) << 7));
        }
        position += 1 + groupBytes;
    }
    return written;
}

void CompleteBlockLocked(void) {
    Instrument& vi = g_virtualInstrument;
    vi.versionMajor[vi.block.code] = vi.block.versionMajor;
    vi.versionMinor[vi.block.code] = vi.block.versionMinor;
    vi.block.active = 0;
}

// A block left before its last packet (the updater stopped, failed or moved on) stays
// unwritten: the instrument goes on holding the version it had. Protocol 0 tells it no
// size, so a block whose size it does not know is never taken as complete; counting it
// complete when the updater moves on would make a block cut short by a stop read as
// current, and a rerun would skip it.
void CloseOpenBlockLocked(void) {
    g_virtualInstrument.block.active = 0;
}

void WriteFlashLocked(uint64_t address, const unsigned char* data, uint32_t length, int fillValue) {
    Instrument& vi = g_virtualInstrument;
    uint64_t start = address - vi.config.flashBase;
    for (uint32_t i = 0; i < length; i++) {
        uint64_t at = start + i;
        vi.flash[(size_t)at] = fillValue >= 0 ? (unsigned char)fillValue : data[i];
        vi.writtenBits[(size_t)(at / 8)] |= (unsigned char)(1u << (at % 8));
    }
}

int InsideFlash(uint64_t address, uint32_t length) {
    const VirtualInstrumentConfig& c = g_virtualInstrument.config;
    return address >= c.flashBase && address + length <= (uint64_t)c.flashBase + c.flashSize;
}

void HandleInquiry(int index, const unsigned char* payload, int payloadLength) {
    Instrument& vi = g_virtualInstrument;
    CloseOpenBlockLocked();
    if (payloadLength > 1) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    // An updater whose file names no member id is not refused: only a different one is.
    if (payloadLength == 1 && vi.config.memberId < MEMBER_ID_ABSENT_FROM &&
        payload[0] != vi.config.memberId) {
        SendStatus(index, VI_STATUS_MEMBER_ID);
        return;
    }
    Reply reply;
    ReplyBegin(&reply, index, MSG_INQUIRY_REPLY);
    ReplyByte(&reply, (unsigned char)(vi.config.protocolCode & 0x7F));
    if (vi.config.protocolCode == 0) {
        Reply14Bit(&reply, vi.config.packetSize);
    } else {
        Reply28Bit(&reply, vi.config.packetSize);
    }
    ReplyByte(&reply, vi.config.deviceFlags & 0x7F);
    ReplySend(&reply);
}

void HandleVersionRequest(int index, const unsigned char* payload, int payloadLength) {
    if (payloadLength != 1) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    Reply reply;
    ReplyBegin(&reply, index, MSG_VERSION_REPLY);
    ReplyByte(&reply, g_virtualInstrument.versionMajor[payload[0]] & 0x7F);
    ReplyByte(&reply, g_virtualInstrument.versionMinor[payload[0]] & 0x7F);
    ReplySend(&reply);
}

void HandleSetMode(int index, const unsigned char* payload, int payloadLength) {
    Instrument& vi = g_virtualInstrument;
    CloseOpenBlockLocked();
    int protocol0 = vi.config.protocolCode == 0;
    if (payloadLength != (protocol0 ? 4 : 16)) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    BlockState block;
    memset(&block, 0, sizeof block);
    block.raw = payload[0];
    block.code = payload[1];
    const unsigned char* version = payload + (protocol0 ? 2 : 10);
    if (block.raw > 1 || (block.raw && !(vi.config.deviceFlags & DEVICE_FLAG_RAW)) ||
        !(version[0] & 0x40)) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    block.versionMajor = (unsigned char)(version[0] & 0x3F);
    block.versionMinor = version[1];
    if (protocol0) {
        block.address = vi.config.blockAddress[block.code];
        block.dataSize = vi.config.blockDataSize[block.code];
        block.packetSize = vi.config.packetSize;
        if (vi.config.linkPacketLimit != 0 && block.packetSize > vi.config.linkPacketLimit) {
            block.packetSize = vi.config.linkPacketLimit;
        }
    } else {
        block.address = Decode28(payload + 2);
        block.dataSize = Decode28(payload + 6);
        block.packetSize = Decode28(payload + 12);
        // It can take smaller packets than it announced (the updater caps them over
        // MIDI), never larger ones.
        if (block.packetSize == 0 || block.packetSize > vi.config.packetSize ||
            block.dataSize % block.packetSize != 0) {
            SendStatus(index, VI_STATUS_FORMAT);
            return;
        }
    }
    block.active = 1;
    vi.block = block;
    Reply reply;
    ReplyBegin(&reply, index, MSG_STATUS);
    ReplyByte(&reply, VI_STATUS_OK);
    if (vi.config.writeSteps > 0) {
        ReplyByte(&reply, MODE_FLAG_TWO_PHASE);
    }
    ReplySend(&reply);
}

void SendWriteProgress(int index, uint32_t done, uint32_t total) {
    Reply reply;
    ReplyBegin(&reply, index, MSG_WRITE_PROGRESS);
    Reply14Bit(&reply, done);
    Reply14Bit(&reply, total);
    ReplySend(&reply);
}

// The common end of a data or fill packet: checks its place, writes it, acknowledges.
void AcceptPacket(int index, uint32_t number, const unsigned char* data, uint32_t length,
                  int fillValue) {
    Instrument& vi = g_virtualInstrument;
    BlockState& block = vi.block;
    if (block.packetsReceived > 0 && number != block.nextPacket) {
        block.failed = 1;
        SendStatus(index, VI_STATUS_PACKET_NUMBER);
        return;
    }
    uint64_t address = (uint64_t)block.address + (uint64_t)number * block.packetSize;
    if (!InsideFlash(address, length)) {
        block.failed = 1;
        SendStatus(index, VI_STATUS_HARDWARE);
        return;
    }
    const int completes = block.dataSize != 0 && block.bytesReceived + length >= block.dataSize;
    if (completes && vi.config.writeSteps > 0 && vi.config.fault == VI_FAULT_WRITE_STALLS) {
        // The writing never ends: the last packet stays unwritten and unacknowledged.
        for (int step = 1; step <= vi.config.faultAt && step < vi.config.writeSteps; step++) {
            SendWriteProgress(index, (uint32_t)step, (uint32_t)vi.config.writeSteps);
        }
        block.failed = 1;
        vi.silent = 1;
        return;
    }
    WriteFlashLocked(address, data, length, fillValue);
    block.packetsReceived++;
    block.bytesReceived += length;
    block.nextPacket = number + 1;
    vi.acknowledged++;
    if (block.dataSize != 0 && block.bytesReceived >= block.dataSize) {
        if (vi.config.writeSteps > 0) {
            if (vi.config.sendZeroTotalProgress) {
                SendWriteProgress(index, 0, 0);
            }
            for (int step = 1; step <= vi.config.writeSteps; step++) {
                SendWriteProgress(index, (uint32_t)step, (uint32_t)vi.config.writeSteps);
            }
        }
        if (!block.failed) {
            CompleteBlockLocked();
        }
    }
    SendStatus(index, VI_STATUS_OK);
}

// Faults of the packet with this number among all data and fill packets; 1 when the
// packet has been dealt with.
int PacketFault(int index, int packetIndex) {
    Instrument& vi = g_virtualInstrument;
    const VirtualInstrumentConfig& c = vi.config;
    if (packetIndex != c.faultAt) {
        return 0;
    }
    if (c.fault == VI_FAULT_STATUS) {
        vi.block.failed = 1;
        SendStatus(index, c.faultStatus);
        return 1;
    }
    if (c.fault == VI_FAULT_EXTENDED_STATUS) {
        vi.block.failed = 1;
        SendExtendedStatus(index, c.faultStatus, c.faultText);
        return 1;
    }
    return 0;
}

void HandleData(int index, int packetIndex, const unsigned char* payload, int payloadLength) {
    Instrument& vi = g_virtualInstrument;
    BlockState& block = vi.block;
    int numberLength = PacketNumberLength();
    if (!block.active || payloadLength < numberLength + 1 || !AllBelow0x80(payload, numberLength)) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    if (PacketFault(index, packetIndex)) {
        return;
    }
    uint32_t number = numberLength == 2 ? Decode14(payload) : Decode28(payload);
    const unsigned char* body = payload + numberLength;
    int bodyLength = payloadLength - numberLength - 1;
    unsigned char checksum = payload[payloadLength - 1];
    static unsigned char data[VI_MAX_MESSAGE];
    int dataLength;
    if (block.raw) {
        unsigned sum = 0;
        for (int i = 0; i < bodyLength; i++) {
            sum += body[i];
        }
        if ((unsigned char)(sum & 0xFF) != checksum) {
            block.failed = 1;
            SendStatus(index, VI_STATUS_CHECKSUM);
            return;
        }
        memcpy(data, body, (size_t)bodyLength);
        dataLength = bodyLength;
    } else {
        if (!AllBelow0x80(body, bodyLength + 1)) {
            block.failed = 1;
            SendStatus(index, VI_STATUS_FORMAT);
            return;
        }
        unsigned sum = 0;
        for (int i = 0; i < bodyLength; i++) {
            sum += body[i];
        }
        if ((unsigned char)(sum & 0x7F) != checksum) {
            block.failed = 1;
            SendStatus(index, VI_STATUS_CHECKSUM);
            return;
        }
        dataLength = Unpack7Bit(body, bodyLength, data);
    }
    if (dataLength <= 0 || (uint32_t)dataLength > VI_LARGEST_PACKET) {
        block.failed = 1;
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    // Protocol 0 never states the packet size in use: the first data packet of a block
    // fixes it (the updater may send less than was announced), later ones must keep it.
    if ((uint32_t)dataLength != block.packetSize) {
        int mayLearn = vi.config.protocolCode == 0 && !block.sizeLearned &&
                       block.packetsReceived == 0 && (uint32_t)dataLength < block.packetSize;
        if (!mayLearn) {
            block.failed = 1;
            SendStatus(index, VI_STATUS_FORMAT);
            return;
        }
        block.packetSize = (uint32_t)dataLength;
    }
    block.sizeLearned = 1;
    AcceptPacket(index, number, data, (uint32_t)dataLength, -1);
}

void HandleFill(int index, int packetIndex, const unsigned char* payload, int payloadLength) {
    Instrument& vi = g_virtualInstrument;
    BlockState& block = vi.block;
    int numberLength = PacketNumberLength();
    if (!block.active || payloadLength != numberLength + 2 ||
        !(vi.config.deviceFlags & DEVICE_FLAG_FILL) || payload[numberLength] > 0x0F ||
        payload[numberLength + 1] > 0x0F) {
        block.failed = block.active;
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    if (PacketFault(index, packetIndex)) {
        return;
    }
    uint32_t number = numberLength == 2 ? Decode14(payload) : Decode28(payload);
    int value = (payload[numberLength] << 4) | payload[numberLength + 1];
    AcceptPacket(index, number, nullptr, block.packetSize, value);
}

void HandlePortInquiry(int index, const unsigned char* payload, int payloadLength) {
    // The port byte is echoed: one of 0x80 or above would put a status byte inside the
    // reply, so it is refused like any other malformed request.
    if (payloadLength != 1 || payload[0] >= 0x80) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    Reply reply;
    ReplyBegin(&reply, index, MSG_PORT_REPLY);
    ReplyByte(&reply, payload[0]);
    ReplySend(&reply);
}

void DispatchLocked(int index, const unsigned char* message, int length) {
    Instrument& vi = g_virtualInstrument;
    const unsigned char* id = ActiveProductId(index);
    int idLength = ProductIdLength(id);
    int codeAt = 3 + idLength;
    // Messages of other makers or of other kinds are not addressed to the updater's
    // protocol at all: a device ignores them.
    if (length < 3 || message[0] != SYSEX_START || message[1] != MSG_MAKER_ID ||
        message[2] != MSG_VUP_ID) {
        vi.foreignBytes += length;
        return;
    }
    if (length < codeAt + 2 || message[length - 1] != SYSEX_END) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    unsigned char code = message[codeAt];
    int idMatches = memcmp(message + 3, id, (size_t)idLength) == 0;
    int packetIndex = -1;
    if (code == MSG_DATA || code == MSG_FILL) {
        packetIndex = vi.packetMessages++;
        if (vi.config.fault == VI_FAULT_SILENT_FROM_PACKET && packetIndex >= vi.config.faultAt) {
            vi.silent = 1;
        }
    }
    if (vi.silent) {
        return;
    }
    if (code == MSG_PORT_INQUIRY) {
        // The port search listens for one message per port: a device of another product
        // keeps quiet rather than spoil it with a refusal.
        if (idMatches) {
            HandlePortInquiry(index, message + codeAt + 1, length - codeAt - 2);
        }
        return;
    }
    if (!idMatches) {
        if (packetIndex >= 0) {
            vi.block.failed = vi.block.active;
        }
        SendStatus(index, VI_STATUS_PRODUCT_ID);
        return;
    }
    const unsigned char* payload = message + codeAt + 1;
    int payloadLength = length - codeAt - 2;
    // Only a raw data packet may carry bytes of 0x80 or above.
    if (code != MSG_DATA && !AllBelow0x80(payload, payloadLength)) {
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    switch (code) {
    case MSG_INQUIRY:
        HandleInquiry(index, payload, payloadLength);
        break;
    case MSG_VERSION_REQUEST:
        HandleVersionRequest(index, payload, payloadLength);
        break;
    case MSG_SET_MODE:
        HandleSetMode(index, payload, payloadLength);
        break;
    case MSG_DATA:
        HandleData(index, packetIndex, payload, payloadLength);
        break;
    case MSG_FILL:
        HandleFill(index, packetIndex, payload, payloadLength);
        break;
    default:
        SendStatus(index, VI_STATUS_FORMAT);
        break;
    }
}

void HandleMessageLocked(const unsigned char* message, int length) {
    Instrument& vi = g_virtualInstrument;
    const VirtualInstrumentConfig& c = vi.config;
    int index = (int)vi.recordEnds.size();
    if (length > VI_MAX_MESSAGE) {
        // Longer than any message of the protocol; it is not kept.
        SendStatus(index, VI_STATUS_FORMAT);
        return;
    }
    vi.records.insert(vi.records.end(), message, message + length);
    vi.recordEnds.push_back((uint32_t)vi.records.size());

    if (c.fault == VI_FAULT_GARBAGE_BEFORE && index == c.faultAt) {
        static const unsigned char garbage[] = {0x7F, 0x41, 0xFE, 0x13, 0xF7};
        QueuePiece(garbage, (int)sizeof garbage);
    }
    if (c.fault == VI_FAULT_REFUSE_MESSAGE && index == c.faultAt) {
        SendStatus(index, c.faultStatus);
        return;
    }
    int firstReply = vi.replyCount;
    DispatchLocked(index, message, length);
    if (index != c.faultAt) {
        return;
    }
    if (c.fault == VI_FAULT_NO_REPLY) {
        vi.replyCount = firstReply;
    } else if (c.fault == VI_FAULT_DELAY) {
        for (int i = firstReply; i < vi.replyCount; i++) {
            ReplySlot(i)->delayMs = (uint32_t)(c.faultDelayMs > 0 ? c.faultDelayMs : 0);
        }
    } else if (c.fault == VI_FAULT_WRONG_CODE && firstReply < vi.replyCount) {
        ReplyPiece* piece = ReplySlot(firstReply);
        int codeAt = 3 + ProductIdLength(ActiveProductId(index));
        if (codeAt < piece->length - 1) {
            piece->bytes[codeAt] = (unsigned char)((piece->bytes[codeAt] + 0x20) & 0x7F);
        }
    }
}

// Length of the raw data packet whose start is in the feed buffer, once its code is
// known; 0 when the message ends at its 0xF7 instead.
int RawPacketLength(void) {
    Instrument& vi = g_virtualInstrument;
    int index = (int)vi.recordEnds.size();
    int codeAt = 3 + ProductIdLength(ActiveProductId(index));
    if (vi.feedLength != codeAt + 1 || vi.feed[codeAt] != MSG_DATA || !vi.block.active ||
        !vi.block.raw) {
        return 0;
    }
    uint32_t total =
        (uint32_t)codeAt + 1 + (uint32_t)PacketNumberLength() + vi.block.packetSize + 2;
    return total <= VI_MAX_MESSAGE ? (int)total : 0;
}

void FeedByteLocked(unsigned char byte) {
    Instrument& vi = g_virtualInstrument;
    if (!vi.feedActive) {
        if (byte == SYSEX_START) {
            vi.feed[0] = byte;
            vi.feedLength = 1;
            vi.feedActive = 1;
            vi.feedExpected = 0;
            vi.feedOverflow = 0;
        } else {
            vi.foreignBytes++;
        }
        return;
    }
    if (vi.feedExpected > 0) {
        vi.feed[vi.feedLength++] = byte;
        if (vi.feedLength == vi.feedExpected) {
            vi.feedActive = 0;
            HandleMessageLocked(vi.feed, vi.feedLength);
        }
        return;
    }
    if (byte == SYSEX_START) {
        // A new message begins: the unfinished one is lost, as on a MIDI line.
        vi.feedLength = 1;
        vi.feedOverflow = 0;
        return;
    }
    if (vi.feedLength < VI_MAX_MESSAGE) {
        vi.feed[vi.feedLength++] = byte;
    } else {
        vi.feedOverflow = 1;
    }
    if (byte == SYSEX_END) {
        vi.feedActive = 0;
        if (vi.feedOverflow) {
            SendStatus((int)vi.recordEnds.size(), VI_STATUS_FORMAT);
        } else {
            HandleMessageLocked(vi.feed, vi.feedLength);
        }
        return;
    }
    vi.feedExpected = RawPacketLength();
}

} // namespace

void VirtualInstrumentDefaultConfig(VirtualInstrumentConfig* config) {
    memset(config, 0, sizeof *config);
    config->productId[0] = 0x3C;
    config->productId[1] = PRODUCT_ID_ABSENT;
    config->productId[2] = PRODUCT_ID_ABSENT;
    config->memberId = 0xFF;
    config->protocolCode = 0;
    config->packetSize = 256;
    config->flashBase = 0;
    config->flashSize = VI_DEFAULT_FLASH_SIZE;
    config->fault = VI_FAULT_NONE;
    config->faultAt = -1;
    config->otherProductId[0] = 0x3D;
    config->otherProductId[1] = PRODUCT_ID_ABSENT;
    config->otherProductId[2] = PRODUCT_ID_ABSENT;
}

int VirtualInstrumentFaultByName(const char* name, VirtualFault* fault) {
    static const struct {
        const char* name;
        VirtualFault fault;
    } kFaultNames[] = {
        {"none", VI_FAULT_NONE},
        {"no-reply", VI_FAULT_NO_REPLY},
        {"delay", VI_FAULT_DELAY},
        {"status", VI_FAULT_STATUS},
        {"extended-status", VI_FAULT_EXTENDED_STATUS},
        {"other-product", VI_FAULT_OTHER_PRODUCT},
        {"garbage-before", VI_FAULT_GARBAGE_BEFORE},
        {"wrong-code", VI_FAULT_WRONG_CODE},
        {"silent-from-packet", VI_FAULT_SILENT_FROM_PACKET},
        {"write-stalls", VI_FAULT_WRITE_STALLS},
    };
    for (const auto& entry : kFaultNames) {
        if (strcmp(name, entry.name) == 0) {
            *fault = entry.fault;
            return 1;
        }
    }
    return 0;
}

void VirtualInstrumentReset(const VirtualInstrumentConfig* config) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    ResetLocked(config);
}

void VirtualInstrumentHandleMessage(const unsigned char* message, int length) {
    if (message == nullptr || length <= 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    HandleMessageLocked(message, length);
}

void VirtualInstrumentFeed(const unsigned char* bytes, int length) {
    if (bytes == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    for (int i = 0; i < length; i++) {
        FeedByteLocked(bytes[i]);
    }
}

void VirtualInstrumentHandleOtherBytes(int count) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    g_virtualInstrument.foreignBytes += count > 0 ? count : 0;
}

int VirtualInstrumentForeignByteCount(void) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    return g_virtualInstrument.foreignBytes;
}

int VirtualInstrumentTakeReply(unsigned char* out, int capacity, uint32_t* delayMs) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    Instrument& vi = g_virtualInstrument;
    if (vi.replyCount == 0) {
        return 0;
    }
    ReplyPiece* piece = ReplySlot(0);
    int length = piece->length < capacity ? piece->length : capacity;
    if (length > 0) {
        memcpy(out, piece->bytes, (size_t)length);
    }
    if (delayMs != nullptr) {
        *delayMs = piece->delayMs;
    }
    vi.replyHead = (vi.replyHead + 1) % VI_REPLY_QUEUE_SIZE;
    vi.replyCount--;
    return length > 0 ? length : 0;
}

int VirtualInstrumentPendingReplies(void) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    return g_virtualInstrument.replyCount;
}

int VirtualInstrumentMessageCount(void) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    return (int)g_virtualInstrument.recordEnds.size();
}

int VirtualInstrumentMessage(int index, unsigned char* out, int capacity) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    Instrument& vi = g_virtualInstrument;
    if (index < 0 || index >= (int)vi.recordEnds.size() || capacity <= 0) {
        return 0;
    }
    uint32_t start = index == 0 ? 0 : vi.recordEnds[(size_t)index - 1];
    uint32_t length = vi.recordEnds[(size_t)index] - start;
    if (length > (uint32_t)capacity) {
        length = (uint32_t)capacity;
    }
    memcpy(out, vi.records.data() + start, length);
    return (int)length;
}

int VirtualInstrumentFlashRead(uint32_t address, unsigned char* out, uint32_t length) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    if (!InsideFlash(address, length)) {
        return 0;
    }
    if (length > 0) {
        memcpy(out,
               g_virtualInstrument.flash.data() + (address - g_virtualInstrument.config.flashBase),
               length);
    }
    return 1;
}

uint32_t VirtualInstrumentFlashWrittenCount(uint32_t address, uint32_t length) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    const VirtualInstrumentConfig& c = g_virtualInstrument.config;
    uint64_t from = address > c.flashBase ? address : c.flashBase;
    uint64_t to = (uint64_t)address + length;
    uint64_t end = (uint64_t)c.flashBase + c.flashSize;
    if (to > end) {
        to = end;
    }
    uint32_t count = 0;
    for (uint64_t at = from; at < to; at++) {
        uint64_t bit = at - c.flashBase;
        count += (g_virtualInstrument.writtenBits[(size_t)(bit / 8)] >> (bit % 8)) & 1u;
    }
    return count;
}

int VirtualInstrumentPacketCount(void) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    return g_virtualInstrument.acknowledged;
}

void VirtualInstrumentVersion(unsigned char blockCode, unsigned char* major, unsigned char* minor) {
    std::lock_guard<std::mutex> guard(g_virtualInstrument.lock);
    EnsureInitializedLocked();
    *major = g_virtualInstrument.versionMajor[blockCode];
    *minor = g_virtualInstrument.versionMinor[blockCode];
}
