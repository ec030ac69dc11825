// update-bench's native paths: serial over a pseudo-terminal to the serial-instrument
// tool, and the USB bulk and kernel MIDI transports over their simulated drivers with
// the virtual instrument in this process.
#include "bench/update_bench.h"

#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "tests/doubles/kernel_midi_driver_sim.h"
#include "tests/doubles/usb_bulk_driver_sim.h"
#include "transports/kernel_midi_testing.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/transport.h"

#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t g_instrument = -1;

void ResetInstrument(const BenchOptions* o) {
    VirtualInstrumentConfig instrument;
    VirtualInstrumentDefaultConfig(&instrument);
    instrument.protocolCode = 1;
    instrument.packetSize = o->packetSize;
    instrument.versionMajor[1] = 1;
    instrument.versionMinor[1] = 3;
    instrument.replyDelayMs = o->turnaroundMs;
    VirtualInstrumentReset(&instrument);
}

int OpenSerial(const BenchOptions* o, char* errorText) {
    int out[2];
    if (pipe(out) != 0) {
        TextCopy(errorText, PATH_SIZE, "no pipe");
        return 0;
    }
    std::string packet = std::to_string(o->packetSize);
    std::string delay = std::to_string(o->turnaroundMs);
    g_instrument = fork();
    if (g_instrument == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(SERIAL_INSTRUMENT_PATH, SERIAL_INSTRUMENT_PATH, "--quiet", "--protocol", "1",
              "--packet-size", packet.c_str(), "--version", "1=1.03", "--reply-delay",
              delay.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(out[0]);
    if (line.empty()) {
        TextCopy(errorText, PATH_SIZE, "serial-instrument did not start");
        return 0;
    }
    setenv("ORV_COM1", line.c_str(), 1);
    return SerialOpen(1, 38400, errorText);
}

void CloseSerial(void) {
    SerialClose();
    if (g_instrument > 0) {
        kill(g_instrument, SIGTERM);
        waitpid(g_instrument, nullptr, 0);
        g_instrument = -1;
    }
}

int OpenUsbBulk(const BenchOptions* o, char* errorText) {
    ResetInstrument(o);
    UsbSimReset();
    init_cusbbulk();
    UsbSimDevice d;
    UsbSimDeviceDefaults(&d, "\\\\?\\usb#vid_2f3c&pid_1001#0", DEFAULT_VENDOR_ID,
                         USB_VERUP_PRODUCT_ID);
    d.instrument = 1;
    UsbSimAddDevice(&d);
    return UsbBulkOpen(errorText);
}

void CloseUsbBulk(void) {
    UsbBulkClose();
    free_cusbbulk();
}

int OpenKernelMidi(const BenchOptions* o, char* errorText) {
    ResetInstrument(o);
    KernelMidiSimConfig driver;
    KernelMidiSimDefaultConfig(&driver);
    KernelMidiSimReset(&driver);
    KernelMidiScanReset();
    return KernelMidiOpen(errorText);
}

const BenchPath kPaths[] = {
    {"serial", DEVICE_TYPE_SERIAL, 20, OpenSerial, CloseSerial},
    {"usb-bulk", DEVICE_TYPE_USB_BULK, 0, OpenUsbBulk, CloseUsbBulk},
    {"kernel-midi", DEVICE_TYPE_KERNEL_MIDI, 20, OpenKernelMidi, KernelMidiClose},
};

} // namespace

// The instrument's entry points the simulated drivers call, by their linker names.
extern "C" {
void __real__Z21VirtualInstrumentFeedPKhi(const unsigned char* bytes, int length);
void __real__Z30VirtualInstrumentHandleMessagePKhi(const unsigned char* message, int length);

void __wrap__Z21VirtualInstrumentFeedPKhi(const unsigned char* bytes, int length) {
    BenchPauseCounting(true);
    __real__Z21VirtualInstrumentFeedPKhi(bytes, length);
    BenchPauseCounting(false);
}

void __wrap__Z30VirtualInstrumentHandleMessagePKhi(const unsigned char* message, int length) {
    BenchPauseCounting(true);
    __real__Z30VirtualInstrumentHandleMessagePKhi(message, length);
    BenchPauseCounting(false);
}
}

int BenchPaths(const BenchPath** paths) {
    *paths = kPaths;
    return (int)(sizeof kPaths / sizeof kPaths[0]);
}

int64_t BenchCpuMicroseconds(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (int64_t)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

uint64_t BenchThreadId(void) {
    return (uint64_t)pthread_self();
}

double BenchFirstPaintMs(const char* executable) {
    (void)executable;
    return -1;
}
