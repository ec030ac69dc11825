#include "update/update_messages.h"

#include "platform/text.h"
#include "update/update_engine.h"

#include <cstring>

int BuildMessageHeader(unsigned char* buffer, const SystemFileHeader* header, unsigned char code) {
    int n = 0;
    buffer[n++] = SYSEX_START;
    buffer[n++] = MSG_MAKER_ID;
    buffer[n++] = MSG_VUP_ID;
    buffer[n++] = header->productId[0];
    if (header->productId[1] != PRODUCT_ID_ABSENT) {
        buffer[n++] = header->productId[1];
        if (header->productId[2] != PRODUCT_ID_ABSENT) {
            buffer[n++] = header->productId[2];
        }
    }
    buffer[n++] = code;
    return n;
}

int BuildInquiry(unsigned char* out, const SystemFileHeader* header) {
    int n = BuildMessageHeader(out, header, MSG_INQUIRY);
    if (header->memberId < MEMBER_ID_ABSENT_FROM) {
        out[n++] = header->memberId;
    }
    out[n++] = SYSEX_END;
    return n;
}

int BuildVersionRequest(unsigned char* out, const SystemFileHeader* header) {
    int n = BuildMessageHeader(out, header, MSG_VERSION_REQUEST);
    out[n++] = header->blockCode;
    out[n++] = SYSEX_END;
    return n;
}

void Encode14Bit(uint32_t value, unsigned char* out) {
    out[0] = (unsigned char)((value >> 7) & 0x7F);
    out[1] = (unsigned char)(value & 0x7F);
}

uint32_t Decode14Bit(const unsigned char* in) {
    return ((uint32_t)(in[0] & 0x7F) << 7) | (uint32_t)(in[1] & 0x7F);
}

void Encode28Bit(uint32_t value, unsigned char* out) {
    out[0] = (unsigned char)((value >> 21) & 0x7F);
    out[1] = (unsigned char)((value >> 14) & 0x7F);
    out[2] = (unsigned char)((value >> 7) & 0x7F);
    out[3] = (unsigned char)(value & 0x7F);
}

uint32_t Decode28Bit(const unsigned char* in) {
    return ((uint32_t)(in[0] & 0x7F) << 21) | ((uint32_t)(in[1] & 0x7F) << 14) |
           ((uint32_t)(in[2] & 0x7F) << 7) | (uint32_t)(in[3] & 0x7F);
}

int Pack7Bit(const unsigned char* data, unsigned char* out, int count, unsigned char* checksumOut) {
    int written = 0;
    unsigned int sum = 0;
    for (int start = 0; start < count; start += 7) {
        int groupSize = count - start < 7 ? count - start : 7;
        unsigned char leading = 0;
        for (int k = 0; k < groupSize; k++) {
            leading |= (unsigned char)(((data[start + k] >> 7) & 1) << k);
        }
        out[written++] = leading;
        sum += leading;
        for (int k = 0; k < groupSize; k++) {
            unsigned char low = (unsigned char)(data[start + k] & 0x7F);
            out[written++] = low;
            sum += low;
        }
    }
    if (checksumOut != nullptr) {
        *checksumOut = (unsigned char)(sum & 0x7F);
    }
    return written;
}

void StatusCodeText(int status, char* text, int textSize) {
    static const char* const kTexts[] = {
        "",                    // 0: success
        "Product ID Error",    // 1
        "Member ID Error",     // 2
        "Format Error",        // 3
        "Block Code Error",    // 4
        "Packet Number Error", // 5
        "Checksum Error",      // 6
        "Timeout Error",       // 7
        "Hardware Error",      // 8
        "Flash Write Error",   // 9
        "User Aborted",        // 10
        "Version Error",       // 11
    };
    if (textSize <= 0) {
        return;
    }
    const int known = (int)(sizeof kTexts / sizeof kTexts[0]);
    const char* source = status >= 0 && status < known ? kTexts[status] : "Unknown Error";
    TextCopy(text, (size_t)textSize, source);
}

// The product id a reply answers in (a first byte of 0 announces three bytes), 0xFF
// marking absent bytes, and where its message code stands. 0 when an id byte is no data
// byte.
static int ReadReplyProductId(const unsigned char* reply, unsigned char* productId, int* codePos) {
    productId[0] = reply[3];
    productId[1] = PRODUCT_ID_ABSENT;
    productId[2] = PRODUCT_ID_ABSENT;
    *codePos = 4;
    if (reply[3] >= 0x80) {
        return 0;
    }
    if (reply[3] == 0) {
        if (reply[4] >= 0x80 || reply[5] >= 0x80) {
            return 0;
        }
        productId[1] = reply[4];
        productId[2] = reply[5];
        *codePos = 6;
    }
    return 1;
}

// Whether a reply answers in header's product id, as many bytes as the header has; where
// the message code stands then.
static bool ReplyIdMatches(const unsigned char* reply, const SystemFileHeader* header,
                           int* codePos) {
    *codePos = 4;
    bool idMatches = reply[3] == header->productId[0];
    if (header->productId[1] != PRODUCT_ID_ABSENT) {
        idMatches = idMatches && reply[4] == header->productId[1];
        *codePos = 5;
        if (header->productId[2] != PRODUCT_ID_ABSENT) {
            idMatches = idMatches && reply[5] == header->productId[2];
            *codePos = 6;
        }
    }
    return idMatches;
}

static bool IsUpdateMessage(const unsigned char* reply) {
    return (reply[0] == SYSEX_START || reply[0] == SYSEX_END) && reply[1] == MSG_MAKER_ID &&
           reply[2] == MSG_VUP_ID;
}

// Takes the instrument's product id (and member id) into the working header when the
// device check is skipped. Every byte is checked before the header is touched, so a
// reply that cannot be adopted leaves the header as it was.
static int AdoptProductId(const unsigned char* reply, SystemFileHeader* header) {
    unsigned char productId[3];
    unsigned char memberId = PRODUCT_ID_ABSENT;
    int codePos = 0;
    if (!ReadReplyProductId(reply, productId, &codePos)) {
        return 0;
    }
    if (reply[codePos + 2] < MEMBER_ID_ABSENT_FROM) {
        memberId = reply[codePos + 2];
    }
    header->productId[0] = productId[0];
    header->productId[1] = productId[1];
    header->productId[2] = productId[2];
    header->memberId = memberId;
    return REPLY_ID_ADOPTED;
}

int ReplyOtherProductId(const unsigned char* reply, const SystemFileHeader* header,
                        unsigned char* productId) {
    int codePos = 0;
    if (!IsUpdateMessage(reply) || ReplyIdMatches(reply, header, &codePos)) {
        return 0;
    }
    return ReadReplyProductId(reply, productId, &codePos);
}

int ValidateReply(const unsigned char* reply, SystemFileHeader* header, int expectedCode,
                  char* errorText, uint32_t* progressOut) {
    // The fixed positions read below stay under index 12; only the extended status
    // text runs further, and it is bounded by the buffer's end.
    if (reply[0] != SYSEX_START && reply[0] != SYSEX_END) {
        TextCopy(errorText, TEXT_SIZE, "Rx Msg Error(0:Not Exclusive)");
        return 0;
    }
    if (reply[1] != MSG_MAKER_ID) {
        TextCopy(errorText, TEXT_SIZE, "Rx Msg Error(1:Not MAVO ID)");
        return 0;
    }
    if (reply[2] != MSG_VUP_ID) {
        TextCopy(errorText, TEXT_SIZE, "Rx Msg Error(2:VUP ID Error)");
        return 0;
    }

    int c = 4;
    if (!ReplyIdMatches(reply, header, &c)) {
        TextCopy(errorText, TEXT_SIZE, "Rx Msg Error(Product ID Error)");
        if (!g_updateEngine.skipDeviceCheck) {
            return 0;
        }
        return AdoptProductId(reply, header);
    }

    int code = reply[c];
    int q = c + 1;
    if (progressOut != nullptr && code == MSG_WRITE_PROGRESS) {
        uint32_t done = (uint32_t)reply[q] * 128 + reply[q + 1];
        uint32_t total = (uint32_t)reply[q + 2] * 128 + reply[q + 3];
        *progressOut = done * 65536 + total;
        return REPLY_WRITE_PROGRESS;
    }
    if (code != MSG_STATUS) {
        if (code == expectedCode) {
            return q;
        }
        TextCopy(errorText, TEXT_SIZE, "Rx Msg Error(Msg Code Error)");
        return 0;
    }

    int status = reply[q];
    if (status == 0) {
        return q;
    }
    if (status < STATUS_EXTENDED_FROM) {
        char statusText[TEXT_SIZE];
        StatusCodeText(status, statusText, (int)sizeof statusText);
        TextFormat(errorText, TEXT_SIZE, "Rx Status Error : %s", statusText);
        return 0;
    }
    // The instrument's text ends at a zero byte that may never come: stop at the
    // buffer's end and at the room the text is given, whichever is first.
    char extended[EXTENDED_STATUS_TEXT_SIZE];
    int n = 0;
    for (int i = q + 1; i < REPLY_BUFFER_SIZE && n < EXTENDED_STATUS_TEXT_SIZE - 1; i++) {
        if (reply[i] == 0) {
            break;
        }
        extended[n++] = (char)reply[i];
    }
    extended[n] = '\0';
    TextFormat(errorText, TEXT_SIZE, "Rx Status Error(Exp) : 0x%X%s", (unsigned int)status,
               extended);
    return 0;
}

int DecodeInquiryReply(const unsigned char* reply, int position, InquiryValues* out,
                       char* errorText) {
    const unsigned char* payload = reply + position;
    out->protocolCode = payload[0];
    if (out->protocolCode > PROTOCOL_CODE_28BIT) {
        TextCopy(errorText, TEXT_SIZE, "Protocol code error(need newer tool).");
        return 0;
    }
    if (out->protocolCode == PROTOCOL_CODE_14BIT) {
        out->packetSize = Decode14Bit(payload + 1);
        out->deviceFlags = payload[3];
    } else {
        out->packetSize = Decode28Bit(payload + 1);
        out->deviceFlags = payload[5];
    }
    return 1;
}

namespace {

// The product id by the framing rule: byte 0 always, byte 1 unless absent, byte 2 only
// when both are present. Returns the number of bytes written.
int PutProductId(const unsigned char* id, unsigned char* out) {
    int n = 0;
    out[n++] = id[0];
    if (id[1] != PRODUCT_ID_ABSENT) {
        out[n++] = id[1];
        if (id[2] != PRODUCT_ID_ABSENT) {
            out[n++] = id[2];
        }
    }
    return n;
}

int PutPortMessage(unsigned char* out, const unsigned char* productId, unsigned char code) {
    out[0] = SYSEX_START;
    out[1] = MSG_MAKER_ID;
    out[2] = MSG_VUP_ID;
    int n = 3 + PutProductId(productId, out + 3);
    out[n++] = code;
    return n;
}

} // namespace

int BuildPortInquiry(unsigned char* out, const unsigned char* productId, int* portAt) {
    int n = PutPortMessage(out, productId, MSG_PORT_INQUIRY);
    *portAt = n;
    out[n++] = 0;
    out[n++] = SYSEX_END;
    return n;
}

int ReadPortReply(const unsigned char* bytes, int length, const unsigned char* productId) {
    unsigned char expected[16];
    const int e = PutPortMessage(expected, productId, MSG_PORT_REPLY);
    // The length check comes first: it also keeps every read below inside the bytes.
    if (length != e + 2 || memcmp(bytes, expected, (size_t)e) != 0 || bytes[e + 1] != SYSEX_END) {
        return -1;
    }
    return bytes[e];
}
