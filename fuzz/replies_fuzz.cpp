// Replies come from whatever answers on the port: the reply check must take any bytes,
// with and without a progress slot and with the device check on and off, and the 7-bit
// codecs must hold for any data.
#include "fuzz/fuzz_require.h"
#include "platform/text.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kProductIdError[] = "Rx Msg Error(Product ID Error)";

bool SameHeader(const SystemFileHeader& a, const SystemFileHeader& b) {
    return memcmp(a.productId, b.productId, sizeof a.productId) == 0 && a.memberId == b.memberId &&
           a.blockCode == b.blockCode && a.dataSize == b.dataSize && a.isLastBlock == b.isLastBlock;
}

// An adopted id is one the message builder can send and the next check accepts: byte 0
// present, bytes 1 and 2 both present (after a 0) or both absent, 7-bit bytes only.
void RequireAdoptedId(const SystemFileHeader& h, const unsigned char* reply) {
    Require(h.productId[0] < 0x80 && h.productId[0] == reply[3]);
    if (h.productId[0] == 0) {
        Require(h.productId[1] == reply[4] && h.productId[2] == reply[5]);
        Require(h.productId[1] < 0x80 && h.productId[2] < 0x80);
    } else {
        Require(h.productId[1] == PRODUCT_ID_ABSENT && h.productId[2] == PRODUCT_ID_ABSENT);
    }
    Require(h.memberId < MEMBER_ID_ABSENT_FROM || h.memberId == PRODUCT_ID_ABSENT);
}

// Returns the result; checks what every result promises.
int CheckReply(const unsigned char* reply, SystemFileHeader* header, int expectedCode,
               bool withProgress, bool skipDeviceCheck) {
    g_updateEngine.skipDeviceCheck = skipDeviceCheck ? 1 : 0;
    const SystemFileHeader before = *header;
    char errorText[TEXT_SIZE];
    memset(errorText, 'x', sizeof errorText);
    uint32_t progress = 0xDEADBEEF;
    int result =
        ValidateReply(reply, header, expectedCode, errorText, withProgress ? &progress : nullptr);
    if (result == -2) {
        Require(skipDeviceCheck);
        Require(strcmp(errorText, kProductIdError) == 0);
        RequireAdoptedId(*header, reply);
        return result;
    }
    Require(SameHeader(*header, before));
    if (result == 0) {
        Require(memchr(errorText, '\0', sizeof errorText) != nullptr);
        Require(strncmp(errorText, "Rx ", 3) == 0);
    } else if (result == -1) {
        Require(withProgress);
        // done * 65536 + total, both 14-bit numbers read after the code.
        int c = 4;
        if (before.productId[1] != PRODUCT_ID_ABSENT) {
            c = before.productId[2] != PRODUCT_ID_ABSENT ? 6 : 5;
        }
        Require(reply[c] == MSG_WRITE_PROGRESS);
        const unsigned char* q = reply + c + 1;
        uint32_t want = ((uint32_t)q[0] * 128 + q[1]) * 65536 + ((uint32_t)q[2] * 128 + q[3]);
        Require(progress == want);
    } else {
        // The position follows the product id and the code: 5, 6 or 7.
        Require(result >= 5 && result <= 7);
        int code = reply[result - 1];
        Require(code == expectedCode || (code == MSG_STATUS && reply[result] == 0));
        Require(!(withProgress && code == MSG_WRITE_PROGRESS));
    }
    return result;
}

void FuzzValidateReply(const uint8_t* data, size_t size) {
    // Six leading bytes choose the check: the expected code, the header's product id and
    // member id, and the byte that fills the buffer after the reply.
    if (size < 6) {
        return;
    }
    const int expectedCode = data[0];
    SystemFileHeader header;
    memset(&header, 0, sizeof header);
    header.productId[0] = data[1];
    header.productId[1] = data[2];
    header.productId[2] = data[3];
    header.memberId = data[4];
    const unsigned char pad = data[5];
    data += 6;
    size -= 6;

    // Exactly the receive buffer's size, so a read past it is seen.
    std::vector<unsigned char> reply(REPLY_BUFFER_SIZE, pad);
    memcpy(reply.data(), data, size < REPLY_BUFFER_SIZE ? size : REPLY_BUFFER_SIZE);
    const std::vector<unsigned char> original = reply;

    for (int variant = 0; variant < 4; variant++) {
        bool withProgress = (variant & 1) != 0;
        bool skip = (variant & 2) != 0;
        SystemFileHeader working = header;
        int result = CheckReply(reply.data(), &working, expectedCode, withProgress, skip);
        if (result == -2) {
            // The inquiry is sent again with the adopted id: the same reply now matches.
            g_updateEngine.skipDeviceCheck = 0;
            char errorText[TEXT_SIZE];
            errorText[0] = '\0';
            uint32_t progress = 0;
            int again = ValidateReply(reply.data(), &working, expectedCode, errorText,
                                      withProgress ? &progress : nullptr);
            Require(again != -2);
            Require(!(again == 0 && strcmp(errorText, kProductIdError) == 0));
        }
    }
    // The reply's own bytes are never changed.
    Require(reply == original);
    g_updateEngine.skipDeviceCheck = 0;
}

void FuzzCodecs(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 2 <= size; i += 2) {
        uint32_t v = Decode14Bit(data + i);
        Require(v < (1u << 14));
        unsigned char back[2];
        Encode14Bit(v, back);
        Require(back[0] == (data[i] & 0x7F) && back[1] == (data[i + 1] & 0x7F));
    }
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t v = Decode28Bit(data + i);
        Require(v < (1u << 28));
        unsigned char back[4];
        Encode28Bit(v, back);
        for (int k = 0; k < 4; k++) {
            Require(back[k] == (data[i + k] & 0x7F));
        }
    }

    // Pack and unpack again: each group is a byte of bit 7s (bit k for the group's k-th
    // byte) and up to seven low halves.
    const int count = (int)(size < 40000 ? size : 40000);
    const int packedSize = count + (count + 6) / 7;
    std::vector<unsigned char> packed((size_t)packedSize);
    unsigned char checksum = 0xFF;
    Require(Pack7Bit(data, packed.data(), count, &checksum) == packedSize);
    std::vector<unsigned char> again((size_t)packedSize);
    Require(Pack7Bit(data, again.data(), count, nullptr) == packedSize);
    Require(again == packed);
    unsigned int sum = 0;
    int at = 0;
    for (int start = 0; start < count; start += 7) {
        int groupSize = count - start < 7 ? count - start : 7;
        unsigned char leading = packed[(size_t)at++];
        Require(leading < 0x80 && (leading >> groupSize) == 0);
        sum += leading;
        for (int k = 0; k < groupSize; k++) {
            unsigned char low = packed[(size_t)at++];
            Require(low < 0x80);
            sum += low;
            unsigned char byte = (unsigned char)(low | (((leading >> k) & 1) << 7));
            Require(byte == data[start + k]);
        }
    }
    Require(at == packedSize);
    Require(checksum == (unsigned char)(sum & 0x7F));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzValidateReply(data, size);
    FuzzCodecs(data, size);
    return 0;
}
