// The virtual instrument for the page (orvent-vi.js): the instrument's side of the update
// protocol behind the page's stand-ins for Web MIDI, Web Serial and WebUSB (standins.js),
// so that an update can be rehearsed in the browser without hardware. Plain C functions
// for the script: a configuration is built with vi_reset_default, vi_fit_to_file and
// vi_set, and switched on with vi_start.
//
// The module has no file system: the system file reader reads the bytes the page hands
// over through the file functions at the end of this file, which stand for the platform's
// file half here. The module links this file, the instrument, its settings, the reader and
// the text helpers, and none of the platform's halves.
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "sim/virtual_instrument.h"
#include "sysfile/system_file.h"

#include <emscripten.h>

#include <cstring>
#include <vector>

namespace {

struct ViModule {
    VirtualInstrumentConfig config; // what vi_start switches the instrument on with
    int configured;                 // 0 until the defaults are in config
};

ViModule g_viModule;

// The bytes vi_fit_to_file was given, read as the one open file.
struct MemoryFile {
    const unsigned char* bytes;
    int64_t length;
    int64_t position;
    int open;
};

MemoryFile s_file = {nullptr, 0, 0, 0};

const PlatformFile kMemoryFile = (PlatformFile)1;

int CollectBlock(const SystemFileBlock* block, void* context) {
    static_cast<std::vector<SystemFileHeader>*>(context)->push_back(block->header);
    return 1;
}

// The configuration being built: the defaults until the script asks for anything else.
VirtualInstrumentConfig* Config(void) {
    if (!g_viModule.configured) {
        VirtualInstrumentDefaultConfig(&g_viModule.config);
        g_viModule.configured = 1;
    }
    return &g_viModule.config;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void vi_reset_default(void) {
    g_viModule.configured = 0;
    Config();
}

// An instrument that fits the file (every block's address and size, its product and
// member id, version 0.00): 1; 0 when a block header fails the reader's checks, with the
// configuration left as it was.
EMSCRIPTEN_KEEPALIVE int vi_fit_to_file(const unsigned char* file, int length) {
    if (file == nullptr || length < 0) {
        return 0;
    }
    s_file = {file, length, 0, 1};
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    PlatformFile f = kMemoryFile;
    const int whole = WalkSystemFile(f, CollectBlock, &blocks, errorText);
    PlatformFileClose(&f);
    if (!whole || blocks.empty()) {
        return 0;
    }
    RehearsalConfigForFile(blocks, Config());
    return 1;
}

// One setting by the name serial-instrument takes it (without dashes), faults included:
// 1 when taken. A switch ignores its value, which may be null.
EMSCRIPTEN_KEEPALIVE int vi_set(const char* name, const char* value) {
    if (name == nullptr) {
        return 0;
    }
    // The instrument runs in this very module, as it does in the tests' own process, so the
    // refused message the programs' fault names leave out can be asked for here too.
    if (strcmp(name, "fault") == 0 && value != nullptr && strcmp(value, "refuse-message") == 0) {
        Config()->fault = VI_FAULT_REFUSE_MESSAGE;
        return 1;
    }
    return InstrumentApplyOption(name, value != nullptr ? value : "", Config());
}

EMSCRIPTEN_KEEPALIVE void vi_start(void) {
    VirtualInstrumentReset(Config());
}

// One whole message, 0xF0 to 0xF7, as the MIDI service hands it over.
EMSCRIPTEN_KEEPALIVE void vi_message(const unsigned char* bytes, int length) {
    if (bytes != nullptr && length > 0) {
        VirtualInstrumentHandleMessage(bytes, length);
    }
}

// Bytes as a line or a pipe delivers them: the instrument frames the messages itself.
EMSCRIPTEN_KEEPALIVE void vi_feed(const unsigned char* bytes, int length) {
    if (bytes != nullptr && length > 0) {
        VirtualInstrumentFeed(bytes, length);
    }
}

// The next piece of output: its length (0 when none is pending), *delayMs how long after
// the request it is due.
EMSCRIPTEN_KEEPALIVE int vi_take_reply(unsigned char* out, int capacity, uint32_t* delayMs) {
    uint32_t delay = 0;
    const int length = VirtualInstrumentTakeReply(out, capacity, &delay);
    if (delayMs != nullptr) {
        *delayMs = delay;
    }
    return length;
}

EMSCRIPTEN_KEEPALIVE int vi_flash_read(uint32_t address, unsigned char* out, uint32_t length) {
    return VirtualInstrumentFlashRead(address, out, length);
}

EMSCRIPTEN_KEEPALIVE int vi_message_count(void) {
    return VirtualInstrumentMessageCount();
}

EMSCRIPTEN_KEEPALIVE int vi_packet_count(void) {
    return VirtualInstrumentPacketCount();
}

// The version the instrument holds for a block code, major * 256 + minor.
EMSCRIPTEN_KEEPALIVE int vi_version(int blockCode) {
    unsigned char major = 0;
    unsigned char minor = 0;
    VirtualInstrumentVersion((unsigned char)blockCode, &major, &minor);
    return major * 256 + minor;
}

} // extern "C"

// ---- The file the reader reads: the bytes of vi_fit_to_file.

PlatformFile PlatformFileOpenRead(const char*) {
    return PLATFORM_FILE_NONE;
}

int PlatformFileRead(PlatformFile file, void* buffer, uint32_t count) {
    if (file != kMemoryFile || !s_file.open) {
        return -1;
    }
    const int64_t left = s_file.length - s_file.position;
    const int64_t n = left < (int64_t)count ? left : (int64_t)count;
    if (n <= 0) {
        return 0;
    }
    memcpy(buffer, s_file.bytes + s_file.position, (size_t)n);
    s_file.position += n;
    return (int)n;
}

int64_t PlatformFilePosition(PlatformFile file) {
    return file == kMemoryFile && s_file.open ? s_file.position : -1;
}

int64_t PlatformFileLength(PlatformFile file) {
    return file == kMemoryFile && s_file.open ? s_file.length : -1;
}

int PlatformFileSeek(PlatformFile file, int64_t position) {
    if (file != kMemoryFile || !s_file.open || position < 0) {
        return 0;
    }
    s_file.position = position;
    return 1;
}

void PlatformFileClose(PlatformFile* file) {
    if (*file == kMemoryFile) {
        s_file = {nullptr, 0, 0, 0};
    }
    *file = PLATFORM_FILE_NONE;
}
