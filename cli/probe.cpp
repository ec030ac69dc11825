#include "cli/probe.h"

#include "cli/commands.h"
#include "cli/hints.h"
#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/serial_devices.h"
#include "cli/session.h"
#include "cli/terminal.h"
#include "midi/midi_rawmidi.h"
#include "midi/midi_transport_posix.h"
#include "platform/platform_thread.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "transports/serial_port_posix.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The serial transport names its ports by number; the program's device is always COM1.
const int kSerialPort = 1;
const int kPollMs = 10;
const int kMsPerTick = 10;
// More than a machine has.
const int kMidiPortsSeen = 64;
// The port inquiry and the inquiry: F0 42 23, up to three id bytes, code, a byte, F7.
const int kMessageSize = 16;

enum { PHASE_PORT_REPLY, PHASE_INQUIRY, PHASE_DONE };

// One port's exchange. It runs on a thread of its own: the wait for it needs a bound that
// not every transport gives (the serial line waits 10 s for a reply), and a stop signal
// must end it.
struct Probe {
    SystemFileHeader header;
    int portNumber;
    std::atomic<int> phase;
    int answered;
    int inquiryRead;
    InquiryValues inquiry;
    unsigned char message[kMessageSize];
    unsigned char reply[REPLY_BUFFER_SIZE];
    char errorText[TEXT_SIZE];
};

Probe g_probe;

int MessageLength(const unsigned char* bytes) {
    for (int i = 0; i < REPLY_BUFFER_SIZE; i++) {
        if (bytes[i] == SYSEX_END) {
            return i + 1;
        }
    }
    return 0;
}

// The first message a port brings decides, as in the window's detection: a port that
// answers with anything else is not the instrument's.
void ExchangeProc(void) {
    Probe& p = g_probe;
    int portAt = 0;
    const int length = BuildPortInquiry(p.message, p.header.productId, &portAt);
    p.message[portAt] = (unsigned char)p.portNumber;
    memset(p.reply, 0, sizeof p.reply);
    p.answered = TransmitMessage(p.message, length, p.errorText, SEND_MODE_PACKETS) &&
                 ReceiveReply(p.reply, p.errorText, PROBE_PORT_REPLY_MS / kMsPerTick) &&
                 ReadPortReply(p.reply, MessageLength(p.reply), p.header.productId) == p.portNumber;
    if (p.answered) {
        p.phase.store(PHASE_INQUIRY);
        const int position =
            ExchangeMessage(p.message, BuildInquiry(p.message, &p.header), p.reply, &p.header,
                            MSG_INQUIRY_REPLY, p.errorText, TIMEOUT_TICKS_SHORT);
        p.inquiryRead =
            position > 0 && DecodeInquiryReply(p.reply, position, &p.inquiry, p.errorText);
    }
    p.phase.store(PHASE_DONE);
}

int ExchangeDone(void) {
    return g_probe.phase.load() == PHASE_DONE;
}

// Waits for the exchange: each phase within its bound, after which its receive is ended.
// cutIn: the phase whose bound ran out, or PHASE_DONE. 0 when a stop signal came.
int WaitForExchange(int* cutIn) {
    *cutIn = PHASE_DONE;
    int phase = PHASE_PORT_REPLY;
    uint64_t since = PlatformMonotonicUs();
    while (!ExchangeDone()) {
        if (InterruptWait(kPollMs) != INTERRUPT_NONE) {
            AbortReceiveUntil(ExchangeDone, TransportWaitSleeping);
            return 0;
        }
        const int now = g_probe.phase.load();
        if (now != phase) {
            phase = now;
            since = PlatformMonotonicUs();
            continue;
        }
        const uint64_t boundMs = phase == PHASE_PORT_REPLY ? PROBE_PORT_REPLY_MS : PROBE_INQUIRY_MS;
        if (PlatformMonotonicUs() - since >= boundMs * 1000) {
            *cutIn = phase;
            AbortReceiveUntil(ExchangeDone, TransportWaitSleeping);
        }
    }
    return 1;
}

int RunExchange(int* cutIn) {
    g_probe.phase.store(PHASE_PORT_REPLY);
    PlatformThread thread = PlatformThreadStart(ExchangeProc, PLATFORM_THREAD_NORMAL);
    if (thread == PLATFORM_THREAD_NONE) {
        // No thread to bound: the transports' own time-outs end it.
        *cutIn = PHASE_DONE;
        ExchangeProc();
        return 1;
    }
    const int ended = WaitForExchange(cutIn);
    PlatformThreadWait(thread);
    PlatformThreadClose(&thread);
    return ended;
}

void LogExchange(const ProbeResult& r) {
    const Probe& p = g_probe;
    TerminalLogFormat("Tx Port Inquiry... (Port %d) on %s", p.portNumber, r.port.c_str());
    if (!p.answered) {
        TerminalLogFormat("Rx Port Reply : none");
        return;
    }
    TerminalLogFormat("Rx Port Reply : Port %d", p.portNumber);
    if (r.inquiryRead) {
        TerminalLogFormat("Rx Inquiry : Protocol=%d , PacketSize=%u , Flags=%02X",
                          r.inquiry.protocolCode, r.inquiry.packetSize, r.inquiry.deviceFlags);
    } else {
        TerminalLogFormat("Rx Inquiry : %s", r.reason.c_str());
    }
}

// 1 with the port's result; 0 when a stop signal came.
int ProbeOne(int deviceType, const std::string& port, int number, const SystemFileHeader& header,
             int baudRate, ProbeResult* r) {
    r->deviceType = deviceType;
    r->port = port;
    r->state = PROBE_NO_ANSWER;
    r->inquiryRead = 0;
    r->inquiry = InquiryValues{};
    if (deviceType == DEVICE_TYPE_SERIAL) {
        SerialOsNameDevice(kSerialPort, port.c_str());
    }
    const TransportChoice choice = {deviceType,   kSerialPort,  baudRate,
                                    port.c_str(), port.c_str(), 0};
    char errorText[PATH_SIZE];
    if (!TransportOpen(&choice, errorText)) {
        const bool midi = deviceType == DEVICE_TYPE_MIDI;
        const int error = midi ? MidiPortError() : SerialOsPortError();
        char hint[TEXT_SIZE * 2];
        FormatOpenHint(midi ? HINT_MIDI : HINT_SERIAL, port.c_str(), error, hint, sizeof hint);
        r->state = error == EBUSY ? PROBE_BUSY : PROBE_NOT_OPENED;
        r->reason = hint[0] != '\0' ? hint : errorText;
        return 1;
    }
    Probe& p = g_probe;
    g_updateEngine.deviceType = deviceType;
    p.header = header;
    // The number echoed must fit a data byte.
    p.portNumber = number & 0x7F;
    p.answered = 0;
    p.inquiryRead = 0;
    int cutIn = PHASE_DONE;
    const int ended = RunExchange(&cutIn);
    TransportClose(deviceType);
    if (!ended) {
        return 0;
    }
    if (p.answered) {
        r->state = PROBE_ANSWERED;
        r->inquiryRead = p.inquiryRead;
        r->inquiry = p.inquiry;
        if (!p.inquiryRead) {
            r->reason = cutIn == PHASE_INQUIRY ? "no reply" : p.errorText;
        }
    }
    LogExchange(*r);
    return 1;
}

// The raw MIDI ports that go both ways, as the instrument's one port does.
void ListMidiPorts(std::vector<std::string>* ids) {
    RawMidiPortInfo ports[kMidiPortsSeen];
    const int count = std::min(RawMidiListPorts(ports, kMidiPortsSeen), kMidiPortsSeen);
    // A subdevice whose directions carry names of their own is listed once each way.
    for (int i = 0; i < count; i++) {
        int input = 0;
        int output = 0;
        for (int j = 0; j < count; j++) {
            if (strcmp(ports[i].id, ports[j].id) == 0) {
                input |= ports[j].canInput;
                output |= ports[j].canOutput;
            }
        }
        if (input && output && std::find(ids->begin(), ids->end(), ports[i].id) == ids->end()) {
            ids->push_back(ports[i].id);
        }
    }
}

typedef void (*ProbeShown)(const ProbeResult& result, const SystemFileHeader& header);

int ProbeAll(int kinds, const SystemFileHeader& header, int baudRate,
             std::vector<ProbeResult>* results, ProbeShown shown) {
    std::vector<std::string> midi;
    std::vector<std::string> serial;
    if (kinds & PROBE_MIDI) {
        ListMidiPorts(&midi);
    }
    if (kinds & PROBE_SERIAL) {
        ListSerialDevices(&serial);
    }
    int number = 0;
    for (const std::vector<std::string>* ports : {&midi, &serial}) {
        const int deviceType = ports == &midi ? DEVICE_TYPE_MIDI : DEVICE_TYPE_SERIAL;
        for (const std::string& port : *ports) {
            ProbeResult r;
            if (!ProbeOne(deviceType, port, number++, header, baudRate, &r)) {
                return 0;
            }
            if (shown != nullptr) {
                shown(r, header);
            }
            results->push_back(r);
        }
    }
    return 1;
}

void ShowResult(const ProbeResult& r, const SystemFileHeader& header) {
    TerminalPrint("  %-14s  %s", r.port.c_str(), ProbeResultText(r, header).c_str());
}

// The product and member id to ask with: the file's first block's, or --product-id's.
int ProbeHeader(const ProbeArguments& arguments, SystemFileHeader* header) {
    if (!arguments.file.empty()) {
        std::vector<SystemFileHeader> blocks;
        char errorText[TEXT_SIZE];
        if (!ReadSystemFile(arguments.file, &blocks, errorText)) {
            TerminalError("%s", errorText);
            return EXIT_FAILED;
        }
        *header = blocks.front();
        return EXIT_DONE;
    }
    memset(header, 0, sizeof *header);
    header->memberId = MEMBER_ID_ABSENT_FROM;
    if (!InstrumentParseProductId(arguments.productId.c_str(), header->productId)) {
        TerminalError("orvent-update: --product-id %s: 1 to 3 hexadecimal bytes, as 3C or 3C:12",
                      arguments.productId.c_str());
        return EXIT_USAGE;
    }
    return EXIT_DONE;
}

} // namespace

int ProbePorts(int kinds, const SystemFileHeader& header, int baudRate,
               std::vector<ProbeResult>* results) {
    return ProbeAll(kinds, header, baudRate, results, nullptr);
}

std::string ProbeResultText(const ProbeResult& r, const SystemFileHeader& header) {
    char text[TEXT_SIZE * 3];
    switch (r.state) {
    case PROBE_ANSWERED:
        if (!r.inquiryRead) {
            TextFormat(text, sizeof text, "answered, but not the inquiry: %s", r.reason.c_str());
            break;
        }
        char product[16];
        char member[8];
        FormatProductId(header, product, sizeof product);
        if (header.memberId >= MEMBER_ID_ABSENT_FROM) {
            TextCopy(member, sizeof member, "none");
        } else {
            TextFormat(member, sizeof member, "%02X", header.memberId);
        }
        TextFormat(text, sizeof text,
                   "answered: product %s member %s, protocol code %d, "
                   "packet size %u",
                   product, member, r.inquiry.protocolCode, r.inquiry.packetSize);
        break;
    case PROBE_BUSY:
        TextFormat(text, sizeof text, "busy (%s)", r.reason.c_str());
        break;
    case PROBE_NOT_OPENED:
        TextFormat(text, sizeof text, "not opened (%s)", r.reason.c_str());
        break;
    default:
        TextCopy(text, sizeof text, "no answer");
        break;
    }
    return text;
}

int CommandProbe(const ProbeArguments& arguments) {
    SystemFileHeader header;
    const int status = ProbeHeader(arguments, &header);
    if (status != EXIT_DONE) {
        return status;
    }
    char product[16];
    FormatProductId(header, product, sizeof product);
    TerminalPrint("Port inquiry for product %s (serial devices at %d bit/s):", product,
                  SERIAL_DEFAULT_BAUD_RATE);
    std::vector<ProbeResult> results;
    if (!ProbeAll(PROBE_MIDI | PROBE_SERIAL, header, SERIAL_DEFAULT_BAUD_RATE, &results,
                  ShowResult)) {
        return ReportAborted();
    }
    JsonReportProbe(header, results);
    for (const ProbeResult& r : results) {
        if (r.state == PROBE_ANSWERED) {
            return EXIT_DONE;
        }
    }
    TerminalError(results.empty() ? "No raw MIDI port and no serial device to ask."
                                  : "No instrument answered the port inquiry.");
    return EXIT_NO_ANSWER;
}

int ProbeFindOne(int deviceType, const SystemFileHeader& header, int baudRate, std::string* port) {
    const bool midi = deviceType == DEVICE_TYPE_MIDI;
    const char* option = midi ? "--midi" : "--serial";
    std::vector<ProbeResult> results;
    if (!ProbePorts(midi ? PROBE_MIDI : PROBE_SERIAL, header, baudRate, &results)) {
        return ReportAborted();
    }
    JsonReportProbe(header, results);
    int answered = 0;
    for (const ProbeResult& r : results) {
        if (r.state == PROBE_ANSWERED) {
            *port = r.port;
            answered++;
        }
    }
    if (answered == 1) {
        TerminalPrint("%s auto: the instrument answers on %s.", option, port->c_str());
        return EXIT_DONE;
    }
    char product[16];
    FormatProductId(header, product, sizeof product);
    const char* kind = midi ? "raw MIDI port" : "serial device";
    if (results.empty()) {
        TerminalError("%s auto: no %s to ask: see orvent-update ports", option, kind);
    } else if (answered == 0) {
        TerminalError("%s auto: no instrument of product %s answered on any %s:", option, product,
                      kind);
    } else {
        TerminalError("%s auto: %d instruments of product %s answered; name one with %s:", option,
                      answered, product, option);
    }
    for (const ProbeResult& r : results) {
        TerminalError("  %-14s  %s", r.port.c_str(), ProbeResultText(r, header).c_str());
    }
    return answered == 0 ? EXIT_NO_ANSWER : EXIT_USAGE;
}
