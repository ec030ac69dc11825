// serial-instrument: the virtual instrument at the far end of a serial line, so that the
// updater's serial transport can be run end to end without hardware. It serves a new
// pseudo-terminal (whose path is the first line it prints) or a serial device, prints
// what it receives, and on exit a summary and, on request, a dump of its flash image.
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "sim/virtual_instrument.h"
#include "transports/serial_port_os.h"
#include "update/update_messages.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

static const char kUsage[] =
    "Usage: serial-instrument [OPTION...]\n"
    "\n"
    "Plays the instrument's side of the update protocol on a new pseudo-terminal (its path\n"
    "is printed as the first line) or, with --device, on a serial device.\n"
    "\n"
    "Line:\n"
    "  --device PATH            serve this serial device instead of a pseudo-terminal\n"
    "  --baud N                 bit rate of the line (default 38400)\n"
    "Instrument:\n"
    "  --product-id HEX         1 to 3 bytes: 3C, 3C:12, 00:12:34 (absent bytes FF)\n"
    "  --member-id N            128 or above: no member id\n"
    "  --protocol N             protocol code of the inquiry reply\n"
    "  --packet-size N          packet size of the inquiry reply\n"
    "  --flags N                DeviceFlags (1 raw packets, 2 fill packets)\n"
    "  --write-steps N          two-phase writing with N progress replies per block\n"
    "  --zero-total             a progress reply with total 0 comes first\n"
    "  --version CODE=M.mm      version held for a block code (* for all); repeatable\n"
    "  --block-address CODE=N   where a block code lives in flash; repeatable\n"
    "  --block-size CODE=N      a block's size under protocol 0; repeatable\n"
    "  --flash BASE:SIZE        the flash window\n"
    "  --reply-delay MS         every reply comes this long after its request\n"
    "Fault:\n"
    "  --fault KIND             none, no-reply, delay, status, extended-status,\n"
    "                           other-product, garbage-before, wrong-code,\n"
    "                           silent-from-packet, write-stalls\n"
    "  --fault-at N --fault-status N --fault-text TEXT --fault-delay MS\n"
    "  --other-product-id HEX\n"
    "End:\n"
    "  --exit-after-idle SECONDS  end when the line, once used, has been silent this long\n"
    "  --flash-dump PATH        write the flash image of --flash-range to PATH at the end\n"
    "  --flash-range ADDR:LEN\n"
    "  --quiet                  print only the path and the summary\n"
    "\n"
    "SIGTERM and SIGINT end it too. Numbers are decimal or 0x hexadecimal.\n";

struct ToolOptions {
    char device[PATH_SIZE];
    int baudRate;
    int exitAfterIdleSeconds;
    char flashDump[PATH_SIZE];
    uint32_t dumpAddress;
    uint32_t dumpLength;
    int quiet;
};

static volatile sig_atomic_t s_stop = 0;

static void OnStopSignal(int) {
    s_stop = 1;
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

static int64_t NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Sleeps until the monotonic clock reaches dueMs, or a stop signal comes.
static void SleepUntil(int64_t dueMs) {
    while (!s_stop) {
        int64_t left = dueMs - NowMs();
        if (left <= 0) {
            return;
        }
        struct timespec step = {(time_t)(left / 1000), (long)(left % 1000) * 1000000L};
        nanosleep(&step, nullptr);
    }
}

// A new pseudo-terminal. The tool keeps its far side open as well, so the line does not
// look hung up to the tool between two openers, and sets it raw at the rate before anyone
// else opens it.
static int OpenPseudoTerminal(int baudRate, int* slave, char* path, size_t pathSize) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return -1;
    }
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        close(master);
        return -1;
    }
    TextCopy(path, pathSize, name);
    // Replies are written with the 10 s bound of the serial functions, not blocking for
    // good when the updater has stopped reading.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    *slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slave < 0 || !SerialOsGetLineSettings((SerialHandle)*slave) ||
        !SerialOsSetLineSettings((SerialHandle)*slave, baudRate)) {
        close(master);
        return -1;
    }
    return master;
}

static int OpenDevice(const char* path, int baudRate) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (!SerialOsGetLineSettings((SerialHandle)fd) ||
        !SerialOsSetLineSettings((SerialHandle)fd, baudRate)) {
        close(fd);
        return -1;
    }
    return fd;
}

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
static void PrintMessage(const VirtualInstrumentConfig* config, const unsigned char* message,
                         int length) {
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

// Feeds what the line brings to the instrument and answers it, until a stop signal or
// the idle limit. 1 when it ended that way, 0 when the line failed.
static int Serve(int line, const VirtualInstrumentConfig* config, const ToolOptions* options) {
    static unsigned char message[VI_MAX_MESSAGE];
    static unsigned char reply[VI_MAX_REPLY];
    int printed = 0;
    // The idle time counts from the last byte, never from the start: an updater that is
    // slow to start (a Windows program under Wine) must still find the instrument.
    int64_t lastActivity = -1;
    while (!s_stop) {
        if (options->exitAfterIdleSeconds > 0 && lastActivity >= 0 &&
            NowMs() - lastActivity >= (int64_t)options->exitAfterIdleSeconds * 1000) {
            return 1;
        }
        struct pollfd waitFor = {line, POLLIN, 0};
        int ready = poll(&waitFor, 1, 100);
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready <= 0) {
            continue;
        }
        unsigned char bytes[4096];
        ssize_t n = read(line, bytes, sizeof bytes);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            fprintf(stderr, "serial-instrument: the line failed\n");
            return 0;
        }
        int64_t requestTime = NowMs();
        lastActivity = requestTime;
        VirtualInstrumentFeed(bytes, (int)n);
        for (int count = VirtualInstrumentMessageCount(); printed < count; printed++) {
            int length = VirtualInstrumentMessage(printed, message, sizeof message);
            if (!options->quiet) {
                PrintMessage(config, message, length);
            }
        }
        uint32_t delayMs = 0;
        int length;
        while (!s_stop &&
               (length = VirtualInstrumentTakeReply(reply, sizeof reply, &delayMs)) > 0) {
            SleepUntil(requestTime + delayMs);
            if (!SerialOsWrite((SerialHandle)line, reply, length)) {
                fprintf(stderr, "serial-instrument: a reply could not be written\n");
                return 0;
            }
            if (!options->quiet) {
                PrintHex("Tx", reply, length);
            }
        }
        lastActivity = NowMs();
    }
    return 1;
}

int main(int argc, char** argv) {
    static VirtualInstrumentConfig config;
    VirtualInstrumentDefaultConfig(&config);
    // Line by line, so that a test reading the pipe sees each line as it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ToolOptions options;
    memset(&options, 0, sizeof options);
    options.baudRate = 38400;

    for (int i = 1; i < argc; i++) {
        const char* name = argv[i];
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(name, "--quiet") == 0) {
            options.quiet = 1;
            continue;
        }
        if (strcmp(name, "--zero-total") == 0) {
            config.sendZeroTotalProgress = 1;
            continue;
        }
        if (i + 1 >= argc || !ParseOption(name, argv[i + 1], &config, &options)) {
            fprintf(stderr, "serial-instrument: bad option %s%s%s\n\n%s", name,
                    i + 1 < argc ? " " : "", i + 1 < argc ? argv[i + 1] : "", kUsage);
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
    int slave = -1;
    int line;
    if (options.device[0] != '\0') {
        line = OpenDevice(options.device, options.baudRate);
        if (line < 0) {
            fprintf(stderr, "serial-instrument: cannot open %s as a serial line\n", options.device);
            return 1;
        }
        printf("%s\n", options.device);
    } else {
        char path[PATH_SIZE];
        line = OpenPseudoTerminal(options.baudRate, &slave, path, sizeof path);
        if (line < 0) {
            fprintf(stderr, "serial-instrument: no pseudo-terminal\n");
            return 1;
        }
        printf("%s\n", path);
    }
    fflush(stdout);

    int served = Serve(line, &config, &options);

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
    close(line);
    if (slave >= 0) {
        close(slave);
    }
    return served && dumped ? 0 : 1;
}
