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

int ParseByte(const char* value, unsigned char* byte) {
    uint32_t n = 0;
    if (!InstrumentParseNumber(value, &n) || n > 255) {
        return 0;
    }
    *byte = (unsigned char)n;
    return 1;
}

// One for each row of the table below.
int SetProductId(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseProductId(value, config->productId);
}

int SetMemberId(const char* value, VirtualInstrumentConfig* config) {
    return ParseByte(value, &config->memberId);
}

int SetVersions(const char* value, VirtualInstrumentConfig* config) {
    return ApplyBlockList(value, config, ApplyVersion);
}

int SetProtocol(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->protocolCode);
}

int SetPacketSize(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseNumber(value, &config->packetSize);
}

int SetFlags(const char* value, VirtualInstrumentConfig* config) {
    return ParseByte(value, &config->deviceFlags);
}

int SetWriteSteps(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->writeSteps);
}

int SetZeroTotal(const char*, VirtualInstrumentConfig* config) {
    config->sendZeroTotalProgress = 1;
    return 1;
}

int SetBlockAddresses(const char* value, VirtualInstrumentConfig* config) {
    return ApplyBlockList(value, config, ApplyAddress);
}

int SetBlockSizes(const char* value, VirtualInstrumentConfig* config) {
    return ApplyBlockList(value, config, ApplySize);
}

int SetFlash(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParsePair(value, &config->flashBase, &config->flashSize);
}

int SetReplyDelay(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->replyDelayMs);
}

int SetFault(const char* value, VirtualInstrumentConfig* config) {
    return VirtualInstrumentFaultByName(value, &config->fault);
}

int SetFaultAt(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->faultAt);
}

int SetFaultStatus(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->faultStatus);
}

int SetFaultText(const char* value, VirtualInstrumentConfig* config) {
    TextCopy(config->faultText, sizeof config->faultText, value);
    return 1;
}

int SetFaultDelay(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseInt(value, &config->faultDelayMs);
}

int SetOtherProductId(const char* value, VirtualInstrumentConfig* config) {
    return InstrumentParseProductId(value, config->otherProductId);
}

// The rehearsal leaves out what only a hand-made instrument needs: the file already gives
// the block addresses, sizes and flash window, and its fault kinds need no other product.
const InstrumentSetting kSettings[] = {
    {"product-id", "ID", "1 to 3 bytes: 3C, 3C:12, 00:12:34 (absent bytes FF)", 1, "the file's",
     SetProductId},
    {"member-id", "N", "member id; 128 or above: none", 1, "the file's", SetMemberId},
    {"version", "CODE=M.mm",
     "the version held of a block code (* for all), several joined by commas; repeatable", 1,
     "0.00", SetVersions},
    {"protocol", "N", "protocol code of the inquiry reply (0 or 1)", 1, nullptr, SetProtocol},
    {"packet-size", "N", "packet size of the inquiry reply", 1, nullptr, SetPacketSize},
    {"flags", "N", "DeviceFlags: 1 raw packets, 2 fill packets, 3 both", 1, nullptr, SetFlags},
    {"write-steps", "N", "two-phase writing with N progress replies per block", 1, nullptr,
     SetWriteSteps},
    {"zero-total", nullptr, "a progress reply with total 0 comes first", 0, nullptr, SetZeroTotal},
    {"block-address", "CODE=N", "where a block code lives in flash; repeatable", 0, nullptr,
     SetBlockAddresses},
    {"block-size", "CODE=N", "a block's size under protocol 0; repeatable", 0, nullptr,
     SetBlockSizes},
    {"flash", "BASE:SIZE", "the flash window", 0, nullptr, SetFlash},
    {"reply-delay", "MS", "every reply comes this long after its request", 1, nullptr,
     SetReplyDelay},
    {"fault", "KIND",
     "none, no-reply, delay, status, extended-status, other-product, garbage-before, "
     "wrong-code, silent-from-packet, write-stalls",
     1, nullptr, SetFault},
    {"fault-at", "N",
     "the message the fault strikes, every message counted from 0 (packets among themselves)", 1,
     nullptr, SetFaultAt},
    {"fault-status", "N", "the status a status fault answers", 1, nullptr, SetFaultStatus},
    {"fault-text", "TEXT", "the text of an extended status", 1, nullptr, SetFaultText},
    {"fault-delay", "MS", "how late a delayed reply comes", 1, nullptr, SetFaultDelay},
    {"other-product-id", "ID", "the product id an other-product fault answers with", 0, nullptr,
     SetOtherProductId},
};

const int kSettingCount = (int)(sizeof kSettings / sizeof kSettings[0]);

// The help's columns: options from the third, their help from the 28th, lines of at most
// kHelpWidth characters.
const size_t kHelpColumn = 27;
const size_t kHelpWidth = 90;

// Puts length characters of word at column `at` of a help line, spaces before it, cut to the
// line's width.
void PutWordAt(char* line, size_t at, const char* word, size_t length) {
    size_t used = strlen(line);
    while (used < at && used < kHelpWidth) {
        line[used++] = ' ';
    }
    size_t take = used + length <= kHelpWidth ? length : kHelpWidth - used;
    memcpy(line + used, word, take);
    line[used + take] = '\0';
}

} // namespace

int InstrumentSettingCount(void) {
    return kSettingCount;
}

const InstrumentSetting* InstrumentSettingAt(int index) {
    return index >= 0 && index < kSettingCount ? &kSettings[index] : nullptr;
}

const InstrumentSetting* InstrumentFindSetting(const char* name) {
    for (const InstrumentSetting& setting : kSettings) {
        if (strcmp(setting.name, name) == 0) {
            return &setting;
        }
    }
    return nullptr;
}

int InstrumentApplyOption(const char* name, const char* value, VirtualInstrumentConfig* config) {
    const InstrumentSetting* setting = InstrumentFindSetting(name);
    return setting != nullptr && setting->apply(value, config);
}

void InstrumentSettingsHelp(char* text, size_t size) {
    for (const InstrumentSetting& setting : kSettings) {
        char line[kHelpWidth + 1];
        TextFormat(line, sizeof line, "  --%s%s%s", setting.name,
                   setting.valueName != nullptr ? " " : "",
                   setting.valueName != nullptr ? setting.valueName : "");
        int helpBegun = 0;
        for (const char* word = setting.help; *word != '\0';) {
            size_t length = strcspn(word, " ");
            size_t used = strlen(line);
            size_t at = !helpBegun && used < kHelpColumn ? kHelpColumn : used + 1;
            if (helpBegun && at + length > kHelpWidth) {
                TextAppend(text, size, line);
                TextAppend(text, size, "\n");
                line[0] = '\0';
                at = kHelpColumn;
            }
            PutWordAt(line, at, word, length);
            helpBegun = 1;
            word += length;
            word += strspn(word, " ");
        }
        TextAppend(text, size, line);
        TextAppend(text, size, "\n");
    }
}

// A window below 64 KiB would not hold even a small sample's blocks.
static const uint64_t kFlashSizeMin = 64u * 1024u;

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
