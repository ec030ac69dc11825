#include "sim/winmm_standin_config.h"

#include "platform/text.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

#define STANDIN_ENV_SIZE 1024
#define STANDIN_DEFAULT_OPEN_ERROR 4 // MMSYSERR_ALLOCATED
#define STANDIN_MOD_MIDIPORT 1

const char kDefaultOutputs[] = "name=ORVENT 1 SOUND,tech=1,mid=55,pid=0x0101,ver=1.08,link=1;"
                               "name=Wavetable Synth,tech=7,mid=99,pid=0x0001,ver=1.00;"
                               "name=USB MIDI Cable Out,tech=1,mid=99,pid=0x0002,ver=2.00";
const char kDefaultInputs[] = "name=ORVENT 1 KEYBOARD,mid=55,pid=0x0102,ver=1.08,link=1;"
                              "name=USB MIDI Cable In,mid=99,pid=0x0002,ver=2.00";

// Cuts spaces off both ends, in place.
char* Trim(char* text) {
    while (*text == ' ' || *text == '\t') {
        text++;
    }
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) {
        text[--length] = '\0';
    }
    return text;
}

uint32_t Number(const char* text) {
    return (uint32_t)strtoul(text, nullptr, 0);
}

// "1.08" is major 1, minor 8; anything without a dot is the number itself.
uint32_t DriverVersion(const char* text) {
    const char* dot = strchr(text, '.');
    if (dot == nullptr) {
        return Number(text);
    }
    uint32_t major = (uint32_t)strtoul(text, nullptr, 10);
    uint32_t minor = (uint32_t)strtoul(dot + 1, nullptr, 10);
    return ((major & 0xFF) << 8) | (minor & 0xFF);
}

void ApplyPortField(StandinPortInfo* port, const char* key, const char* value) {
    if (strcmp(key, "name") == 0) {
        TextCopy(port->name, sizeof port->name, value);
    } else if (strcmp(key, "tech") == 0) {
        port->technology = (uint16_t)Number(value);
    } else if (strcmp(key, "mid") == 0) {
        port->manufacturer = (uint16_t)Number(value);
    } else if (strcmp(key, "pid") == 0) {
        port->product = (uint16_t)Number(value);
    } else if (strcmp(key, "ver") == 0) {
        port->driverVersion = DriverVersion(value);
    } else if (strcmp(key, "link") == 0) {
        port->linked = Number(value) != 0;
    } else if (strcmp(key, "fail") == 0) {
        port->failOpens = (int)Number(value);
    } else if (strcmp(key, "error") == 0) {
        port->openError = Number(value);
    } else if (strcmp(key, "vanish") == 0) {
        port->vanishAfter = (int)Number(value);
    } else if (strcmp(key, "keep") == 0) {
        port->keep = Number(value) != 0;
    }
}

void ParsePort(char* text, StandinPortInfo* port) {
    memset(port, 0, sizeof *port);
    port->technology = STANDIN_MOD_MIDIPORT;
    port->manufacturer = 99;
    port->product = 1;
    port->driverVersion = 0x0100;
    port->openError = STANDIN_DEFAULT_OPEN_ERROR;
    char* save = nullptr;
    for (char* field = strtok_r(text, ",", &save); field != nullptr;
         field = strtok_r(nullptr, ",", &save)) {
        char* equals = strchr(field, '=');
        if (equals == nullptr) {
            continue;
        }
        *equals = '\0';
        ApplyPortField(port, Trim(field), Trim(equals + 1));
    }
}

int EnvNumber(const char* name, uint32_t* value) {
    char text[64];
    if (!StandinGetEnv(name, text, sizeof text)) {
        return 0;
    }
    *value = Number(text);
    return 1;
}

// Hex bytes separated by spaces; bytes not given stay absent (0xFF).
void EnvProductId(const char* name, unsigned char* id) {
    char text[64];
    if (!StandinGetEnv(name, text, sizeof text)) {
        return;
    }
    id[0] = 0;
    id[1] = 0xFF;
    id[2] = 0xFF;
    const char* p = text;
    for (int i = 0; i < 3; i++) {
        char* end = nullptr;
        unsigned long byte = strtoul(p, &end, 16);
        if (end == p) {
            break;
        }
        id[i] = (unsigned char)byte;
        p = end;
    }
}

// "code=value,code=value"; code "*" stands for every block code.
typedef void (*BlockValueProc)(VirtualInstrumentConfig* config, int code, const char* value);

void EnvBlockList(const char* name, VirtualInstrumentConfig* config, BlockValueProc apply) {
    char text[STANDIN_ENV_SIZE];
    if (!StandinGetEnv(name, text, sizeof text)) {
        return;
    }
    char* save = nullptr;
    for (char* item = strtok_r(text, ",", &save); item != nullptr;
         item = strtok_r(nullptr, ",", &save)) {
        char* equals = strchr(item, '=');
        if (equals == nullptr) {
            continue;
        }
        *equals = '\0';
        const char* code = Trim(item);
        const char* value = Trim(equals + 1);
        if (strcmp(code, "*") == 0) {
            for (int c = 0; c < 256; c++) {
                apply(config, c, value);
            }
        } else {
            apply(config, (int)(Number(code) & 0xFF), value);
        }
    }
}

void ApplyVersion(VirtualInstrumentConfig* config, int code, const char* value) {
    uint32_t version = DriverVersion(value);
    config->versionMajor[code] = (unsigned char)(version >> 8);
    config->versionMinor[code] = (unsigned char)version;
}

void ApplyAddress(VirtualInstrumentConfig* config, int code, const char* value) {
    config->blockAddress[code] = Number(value);
}

void ApplySize(VirtualInstrumentConfig* config, int code, const char* value) {
    config->blockDataSize[code] = Number(value);
}

void EnvFault(VirtualInstrumentConfig* config) {
    char text[64];
    if (StandinGetEnv("ORV_VI_FAULT", text, sizeof text)) {
        // An unknown name leaves the instrument without a fault.
        VirtualInstrumentFaultByName(Trim(text), &config->fault);
    }
    uint32_t value;
    if (EnvNumber("ORV_VI_FAULT_AT", &value)) {
        config->faultAt = (int)value;
    }
    if (EnvNumber("ORV_VI_FAULT_DELAY_MS", &value)) {
        config->faultDelayMs = (int)value;
    }
    if (EnvNumber("ORV_VI_FAULT_STATUS", &value)) {
        config->faultStatus = (int)value;
    }
    StandinGetEnv("ORV_VI_FAULT_TEXT", config->faultText, sizeof config->faultText);
    EnvProductId("ORV_VI_OTHER_PRODUCT_ID", config->otherProductId);
}

} // namespace

int StandinGetEnv(const char* name, char* text, int size) {
    DWORD length = GetEnvironmentVariableA(name, text, (DWORD)size);
    if (length == 0 || length >= (DWORD)size) {
        // Unset, or too long to be meant.
        text[0] = '\0';
        return 0;
    }
    return 1;
}

int StandinParsePorts(const char* text, int isSet, int output, StandinPortInfo* ports) {
    char list[STANDIN_PORT_LIST_SIZE];
    TextCopy(list, sizeof list, isSet ? text : (output ? kDefaultOutputs : kDefaultInputs));
    if (strcmp(Trim(list), "none") == 0) {
        return 0;
    }
    int count = 0;
    char* save = nullptr;
    for (char* entry = strtok_r(list, ";", &save); entry != nullptr && count < STANDIN_MAX_PORTS;
         entry = strtok_r(nullptr, ";", &save)) {
        if (Trim(entry)[0] == '\0') {
            continue;
        }
        ParsePort(entry, &ports[count++]);
    }
    return count;
}

void StandinReadInstrumentConfig(VirtualInstrumentConfig* config) {
    VirtualInstrumentDefaultConfig(config);
    config->linkPacketLimit = 1024; // reached over MIDI
    uint32_t value;
    EnvProductId("ORV_VI_PRODUCT_ID", config->productId);
    if (EnvNumber("ORV_VI_MEMBER_ID", &value)) {
        config->memberId = (unsigned char)value;
    }
    if (EnvNumber("ORV_VI_PROTOCOL", &value)) {
        config->protocolCode = (int)value;
    }
    if (EnvNumber("ORV_VI_PACKET_SIZE", &value)) {
        config->packetSize = value;
    }
    if (EnvNumber("ORV_VI_FLAGS", &value)) {
        config->deviceFlags = (unsigned char)value;
    }
    if (EnvNumber("ORV_VI_WRITE_STEPS", &value)) {
        config->writeSteps = (int)value;
    }
    if (EnvNumber("ORV_VI_ZERO_TOTAL", &value)) {
        config->sendZeroTotalProgress = value != 0;
    }
    EnvBlockList("ORV_VI_VERSIONS", config, ApplyVersion);
    EnvBlockList("ORV_VI_BLOCK_ADDRESSES", config, ApplyAddress);
    EnvBlockList("ORV_VI_BLOCK_SIZES", config, ApplySize);
    char text[64];
    if (StandinGetEnv("ORV_VI_FLASH", text, sizeof text)) {
        char* comma = strchr(text, ',');
        config->flashBase = Number(text);
        if (comma != nullptr) {
            config->flashSize = Number(comma + 1);
        }
    }
    if (EnvNumber("ORV_VI_REPLY_DELAY_MS", &value)) {
        config->replyDelayMs = (int)value;
    }
    EnvFault(config);
}
