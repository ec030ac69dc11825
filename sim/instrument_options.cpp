#include "sim/instrument_options.h"

#include "platform/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int InstrumentParseNumber(const char* text, uint32_t* value) {
    if (text == nullptr || text[0] < '0' || text[0] > '9') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) {
        return 0;
    }
    *value = (uint32_t)parsed;
    return 1;
}

// "ADDR:LEN" or "BASE:SIZE".
int InstrumentParsePair(const char* text, uint32_t* first, uint32_t* second) {
    char copy[64];
    if (strlen(text) >= sizeof copy) {
        return 0;
    }
    TextCopy(copy, sizeof copy, text);
    char* colon = strchr(copy, ':');
    if (colon == nullptr) {
        return 0;
    }
    *colon = '\0';
    return InstrumentParseNumber(copy, first) && InstrumentParseNumber(colon + 1, second);
}

// A number as above that fits an int.
int InstrumentParseInt(const char* text, int* value) {
    uint32_t parsed = 0;
    if (!InstrumentParseNumber(text, &parsed) || parsed > 0x7FFFFFFFu) {
        return 0;
    }
    *value = (int)parsed;
    return 1;
}

// "3C", "3C:12", "00:12:34", "00 12 34" or "001234"; bytes not given are 0xFF.
int InstrumentParseProductId(const char* text, unsigned char* id) {
    id[0] = id[1] = id[2] = 0xFF;
    int count = 0;
    int digits = 0;
    unsigned value = 0;
    for (const char* p = text;; p++) {
        char c = *p;
        int isHex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (isHex) {
            unsigned nibble = (c <= '9') ? (unsigned)(c - '0') : (unsigned)((c | 0x20) - 'a' + 10);
            value = value * 16 + nibble;
            digits++;
        }
        if ((digits == 2) || (!isHex && digits == 1)) {
            if (count == 3) {
                return 0;
            }
            id[count++] = (unsigned char)value;
            value = 0;
            digits = 0;
        }
        if (c == '\0') {
            break;
        }
        if (!isHex && c != ':' && c != ' ') {
            return 0;
        }
    }
    return count > 0;
}

namespace {

// "CODE=VALUE", CODE a number or * for every block code. Several may be joined by commas.
typedef int (*BlockValueProc)(VirtualInstrumentConfig* config, int code, const char* value);

int ApplyBlockList(const char* text, VirtualInstrumentConfig* config, BlockValueProc apply) {
    char copy[1024];
    if (strlen(text) >= sizeof copy) {
        return 0;
    }
    TextCopy(copy, sizeof copy, text);
    char* rest = copy;
    while (rest != nullptr && *rest != '\0') {
        char* comma = strchr(rest, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        char* equals = strchr(rest, '=');
        if (equals == nullptr) {
            return 0;
        }
        *equals = '\0';
        uint32_t code = 0;
        int all = strcmp(rest, "*") == 0;
        if (!all && (!InstrumentParseNumber(rest, &code) || code > 255)) {
            return 0;
        }
        for (int c = all ? 0 : (int)code; c <= (all ? 255 : (int)code); c++) {
            if (!apply(config, c, equals + 1)) {
                return 0;
            }
        }
        rest = comma != nullptr ? comma + 1 : nullptr;
    }
    return 1;
}

// "1.05": major 1, minor 5, as a version is shown.
int ApplyVersion(VirtualInstrumentConfig* config, int code, const char* value) {
    char copy[32];
    if (strlen(value) >= sizeof copy) {
        return 0;
    }
    TextCopy(copy, sizeof copy, value);
    char* dot = strchr(copy, '.');
    if (dot == nullptr) {
        return 0;
    }
    *dot = '\0';
    uint32_t major = 0;
    uint32_t minor = 0;
    if (!InstrumentParseNumber(copy, &major) || !InstrumentParseNumber(dot + 1, &minor) ||
        major > 255 || minor > 255) {
        return 0;
    }
    config->versionMajor[code] = (unsigned char)major;
    config->versionMinor[code] = (unsigned char)minor;
    return 1;
}

int ApplyAddress(VirtualInstrumentConfig* config, int code, const char* value) {
    return InstrumentParseNumber(value, &config->blockAddress[code]);
}

int ApplySize(VirtualInstrumentConfig* config, int code, const char* value) {
    return InstrumentParseNumber(value, &config->blockDataSize[code]);
}

} // namespace

int InstrumentApplyOption(const char* name, const char* value, VirtualInstrumentConfig* config) {
    uint32_t n = 0;
    if (strcmp(name, "product-id") == 0) {
        return InstrumentParseProductId(value, config->productId);
    }
    if (strcmp(name, "member-id") == 0) {
        if (!InstrumentParseNumber(value, &n) || n > 255) {
            return 0;
        }
        config->memberId = (unsigned char)n;
        return 1;
    }
    if (strcmp(name, "protocol") == 0) {
        return InstrumentParseInt(value, &config->protocolCode);
    }
    if (strcmp(name, "packet-size") == 0) {
        return InstrumentParseNumber(value, &config->packetSize);
    }
    if (strcmp(name, "flags") == 0) {
        if (!InstrumentParseNumber(value, &n) || n > 255) {
            return 0;
        }
        config->deviceFlags = (unsigned char)n;
        return 1;
    }
    if (strcmp(name, "write-steps") == 0) {
        return InstrumentParseInt(value, &config->writeSteps);
    }
    if (strcmp(name, "version") == 0) {
        return ApplyBlockList(value, config, ApplyVersion);
    }
    if (strcmp(name, "block-address") == 0) {
        return ApplyBlockList(value, config, ApplyAddress);
    }
    if (strcmp(name, "block-size") == 0) {
        return ApplyBlockList(value, config, ApplySize);
    }
    if (strcmp(name, "flash") == 0) {
        return InstrumentParsePair(value, &config->flashBase, &config->flashSize);
    }
    if (strcmp(name, "reply-delay") == 0) {
        return InstrumentParseInt(value, &config->replyDelayMs);
    }
    if (strcmp(name, "fault") == 0) {
        return VirtualInstrumentFaultByName(value, &config->fault);
    }
    if (strcmp(name, "fault-at") == 0) {
        return InstrumentParseInt(value, &config->faultAt);
    }
    if (strcmp(name, "fault-status") == 0) {
        return InstrumentParseInt(value, &config->faultStatus);
    }
    if (strcmp(name, "fault-text") == 0) {
        TextCopy(config->faultText, sizeof config->faultText, value);
        return 1;
    }
    if (strcmp(name, "fault-delay") == 0) {
        return InstrumentParseInt(value, &config->faultDelayMs);
    }
    if (strcmp(name, "other-product-id") == 0) {
        return InstrumentParseProductId(value, config->otherProductId);
    }
    return 0;
}
