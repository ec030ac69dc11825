// serial-instrument: the virtual instrument at the far end of a serial line, so that the
// updater's serial transport can be run end to end without hardware. It serves a new
// pseudo-terminal (whose path is the first line it prints) or a serial device, prints
// what it receives, and on exit a summary and, on request, a dump of its flash image.
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "sim/pty_instrument_server.h"
#include "sim/virtual_instrument.h"
#include "update/update_messages.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char kUsageHead[] =
    "Usage: serial-instrument [OPTION...]\n"
    "\n"
    "Plays the instrument's side of the update protocol on a new pseudo-terminal (its path\n"
    "is printed as the first line) or, with --device, on a serial device.\n"
    "\n"
    "Line:\n"
    "  --device PATH            serve this serial device instead of a pseudo-terminal\n"
    "  --baud N                 bit rate of the line (default 38400)\n"
    "Instrument:\n";

static const char kUsageTail[] =
    "End:\n"
    "  --exit-after-idle SECONDS  end when the line, once used, has been silent this long\n"
    "  --flash-dump PATH        write the flash image of --flash-range to PATH at the end\n"
    "  --flash-range ADDR:LEN\n"
    "  --quiet                  print only the path and the summary\n"
    "\n"
    "SIGTERM and SIGINT end it too. Numbers are decimal or 0x hexadecimal.\n";

// The instrument's settings come from their table, between the line's and the end's.
static const char* Usage(void) {
    static char usage[8192];
    if (usage[0] == '\0') {
        TextCopy(usage, sizeof usage, kUsageHead);
        InstrumentSettingsHelp(usage, sizeof usage);
        TextAppend(usage, sizeof usage, kUsageTail);
    }
    return usage;
}

struct ToolOptions {
    char device[PATH_SIZE];
    int baudRate;
    int exitAfterIdleSeconds;
    char flashDump[PATH_SIZE];
    uint32_t dumpAddress;
    uint32_t dumpLength;
    int quiet;
};

static void OnStopSignal(int) {
    PtyServerRequestStop();
}

static int ParseOption(const char* name, const char* value, VirtualInstrumentConfig* config,
                       ToolOptions* options) {
    if (strcmp(name, "--device") == 0) {
        TextCopy(options->device, sizeof options->device, value);
        return 1;
    }
    if (strcmp(name, "--baud") == 0) {
        return InstrumentParseInt(value, &options->baudRate) && options->baudRate > 0;
    }
    if (strcmp(name, "--exit-after-idle") == 0) {
        return InstrumentParseInt(value, &options->exitAfterIdleSeconds);
    }
    if (strcmp(name, "--flash-dump") == 0) {
        TextCopy(options->flashDump, sizeof options->flashDump, value);
        return 1;
    }
    if (strcmp(name, "--flash-range") == 0) {
        return InstrumentParsePair(value, &options->dumpAddress, &options->dumpLength);
    }
    return strncmp(name, "--", 2) == 0 && InstrumentApplyOption(name + 2, value, config);
}

// The instrument as configured, for the message lines; a server's callbacks take no more.
static VirtualInstrumentConfig s_config;

static int CodePosition(const VirtualInstrumentConfig* config) {
    if (config->productId[1] == 0xFF) {
        return 4;
    }
    return config->productId[2] == 0xFF ? 5 : 6;
}

static void PrintHex(const char* direction, const unsigned char* bytes, int length) {
    printf("%s", direction);
    for (int i = 0; i < length; i++) {
        printf(" %02X", bytes[i]);
    }
    printf("\n");
}

// Data packets are long; one line says which packet came and how big it was.
static void PrintMessage(const unsigned char* message, int length) {
    const VirtualInstrumentConfig* config = &s_config;
    int c = CodePosition(config);
    if (length > c + 2 && (message[c] == MSG_DATA || message[c] == MSG_FILL)) {
        uint32_t number;
        if (config->protocolCode == 0 || length < c + 5) {
            number = ((uint32_t)message[c + 1] << 7) | message[c + 2];
        } else {
            number = ((uint32_t)message[c + 1] << 21) | ((uint32_t)message[c + 2] << 14) |
                     ((uint32_t)message[c + 3] << 7) | message[c + 4];
        }
        printf("Rx %s packet %u, %d bytes\n", message[c] == MSG_DATA ? "data" : "fill",
               (unsigned)number, length);
        return;
    }
    PrintHex("Rx", message, length);
}

static void PrintReply(const unsigned char* reply, int length) {
    PrintHex("Tx", reply, length);
}

// Written under another name and renamed when complete, so that whoever waits for the
// file never reads half of it.
static int WriteFlashDump(const ToolOptions* options) {
    char partPath[PATH_SIZE + 8];
    TextFormat(partPath, sizeof partPath, "%s.part", options->flashDump);
    FILE* out = fopen(partPath, "wb");
    if (out == nullptr) {
        fprintf(stderr, "serial-instrument: cannot write %s\n", partPath);
        return 0;
    }
    static unsigned char chunk[65536];
    uint32_t done = 0;
    int ok = 1;
    while (ok && done < options->dumpLength) {
        uint32_t n = options->dumpLength - done;
        if (n > sizeof chunk) {
            n = sizeof chunk;
        }
        ok = VirtualInstrumentFlashRead(options->dumpAddress + done, chunk, n) &&
             fwrite(chunk, 1, n, out) == n;
        done += n;
    }
    if (fclose(out) != 0 || !ok || rename(partPath, options->flashDump) != 0) {
        fprintf(stderr, "serial-instrument: the flash range cannot be dumped\n");
        remove(partPath);
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    VirtualInstrumentConfig& config = s_config;
    VirtualInstrumentDefaultConfig(&config);
    // Line by line, so that a test reading the pipe sees each line as it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ToolOptions options;
    memset(&options, 0, sizeof options);
    options.baudRate = 38400;

    for (int i = 1; i < argc; i++) {
        const char* name = argv[i];
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(Usage(), stdout);
            return 0;
        }
        if (strcmp(name, "--quiet") == 0) {
            options.quiet = 1;
            continue;
        }
        const InstrumentSetting* setting =
            strncmp(name, "--", 2) == 0 ? InstrumentFindSetting(name + 2) : nullptr;
        if (setting != nullptr && setting->valueName == nullptr) {
            setting->apply(nullptr, &config);
            continue;
        }
        if (i + 1 >= argc || !ParseOption(name, argv[i + 1], &config, &options)) {
            fprintf(stderr, "serial-instrument: bad option %s%s%s\n\n%s", name,
                    i + 1 < argc ? " " : "", i + 1 < argc ? argv[i + 1] : "", Usage());
            return 2;
        }
        i++;
    }
    if (options.flashDump[0] != '\0' && options.dumpLength == 0) {
        fprintf(stderr, "serial-instrument: --flash-dump needs --flash-range ADDR:LEN\n");
        return 2;
    }

    struct sigaction stop;
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    VirtualInstrumentReset(&config);
    PtyServerSettings line = {options.device, options.baudRate, options.exitAfterIdleSeconds * 1000,
                              options.quiet ? nullptr : PrintMessage,
                              options.quiet ? nullptr : PrintReply};
    char path[PATH_SIZE];
    if (!PtyServerOpen(&line, path)) {
        if (options.device[0] != '\0') {
            fprintf(stderr, "serial-instrument: cannot open %s as a serial line\n", options.device);
        } else {
            fprintf(stderr, "serial-instrument: no pseudo-terminal\n");
        }
        return 1;
    }
    printf("%s\n", path);
    fflush(stdout);
    if (!PtyServerStart()) {
        fprintf(stderr, "serial-instrument: no thread to serve the line\n");
        PtyServerClose();
        return 1;
    }
    PtyServerEnd end = PtyServerWait();
    if (end == PTY_SERVER_READ_FAILED) {
        fprintf(stderr, "serial-instrument: the line failed\n");
    } else if (end == PTY_SERVER_WRITE_FAILED) {
        fprintf(stderr, "serial-instrument: a reply could not be written\n");
    }

    printf("messages %d\n", VirtualInstrumentMessageCount());
    printf("packets %d\n", VirtualInstrumentPacketCount());
    int dumped = 1;
    if (options.dumpLength > 0) {
        printf("written %u\n", (unsigned)VirtualInstrumentFlashWrittenCount(options.dumpAddress,
                                                                            options.dumpLength));
        if (options.flashDump[0] != '\0') {
            dumped = WriteFlashDump(&options);
        }
    }
    fflush(stdout);
    PtyServerClose();
    return end == PTY_SERVER_STOPPED && dumped ? 0 : 1;
}
