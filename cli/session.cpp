#include "cli/session.h"

#include "cli/hints.h"
#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/probe.h"
#include "cli/rehearsal.h"
#include "cli/serial_devices.h"
#include "cli/terminal.h"
#include "logview/log_view.h"
#include "midi/midi_transport_posix.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "transports/serial_port_posix.h"
#include "transports/usb_bulk.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The serial transport names its ports by number; the program's device is always COM1.
const int kSerialPort = 1;

void FormatMemberId(const SystemFileHeader& h, char* out, size_t size) {
    if (h.memberId >= MEMBER_ID_ABSENT_FROM) {
        TextCopy(out, size, "none");
    } else {
        TextFormat(out, size, "%02X", h.memberId);
    }
}

struct ChosenDevice {
    int deviceType;
    bool rehearsal;
};

ChosenDevice s_device = {DEVICE_TYPE_SERIAL, false};

// The rehearsal's instrument: fitted to the file, then the user's settings on top.
int RehearsalConfig(const DeviceChoice& choice, const std::vector<SystemFileHeader>& blocks,
                    VirtualInstrumentConfig* config) {
    RehearsalConfigForFile(blocks, config);
    for (const auto& setting : choice.instrument) {
        if (!InstrumentApplyOption(setting.first.c_str(), setting.second.c_str(), config)) {
            TerminalError("orvent-update: --instrument-%s %s: not a value the instrument takes",
                          setting.first.c_str(), setting.second.c_str());
            return 0;
        }
    }
    return 1;
}

int OpenTransport(const TransportChoice& choice) {
    char errorText[PATH_SIZE];
    if (!TransportOpen(&choice, errorText)) {
        TerminalError("%s", errorText);
        ReportOpenHint(choice, choice.deviceType == DEVICE_TYPE_MIDI ? MidiPortError()
                                                                     : SerialOsPortError());
        return EXIT_FAILED;
    }
    s_device.deviceType = choice.deviceType;
    return EXIT_DONE;
}

int OpenSerial(const char* device, int baudRate) {
    SerialOsNameDevice(kSerialPort, device);
    const TransportChoice choice = {DEVICE_TYPE_SERIAL, kSerialPort, baudRate, "", "", 0};
    return OpenTransport(choice);
}

// The USB bulk transport opens through the device manager, which lives as long as the
// open device, as the window's does.
int OpenUsb(void) {
    init_cusbbulk();
    const TransportChoice choice = {DEVICE_TYPE_USB_BULK, 0, 0, "", "", 0};
    const int status = OpenTransport(choice);
    if (status != EXIT_DONE) {
        free_cusbbulk();
    }
    return status;
}

int OpenChosenDevice(const DeviceChoice& choice, const std::vector<SystemFileHeader>& blocks) {
    s_device.rehearsal = choice.rehearse;
    if (choice.rehearse) {
        static VirtualInstrumentConfig config;
        if (!RehearsalConfig(choice, blocks, &config)) {
            return EXIT_USAGE;
        }
        char path[PATH_SIZE];
        char errorText[TEXT_SIZE];
        if (!RehearsalStart(&config, path, errorText)) {
            TerminalError("%s", errorText);
            return EXIT_FAILED;
        }
        TerminalPrint("Rehearsal: the virtual instrument answers on %s.", path);
        return OpenSerial(path, SERIAL_DEFAULT_BAUD_RATE);
    }
    if (!choice.serialDevice.empty()) {
        std::string device;
        int baudRate = 0;
        if (!ParseSerialDevice(choice.serialDevice, &device, &baudRate)) {
            TerminalError("orvent-update: --serial %s: the rate after @ is no bit rate",
                          choice.serialDevice.c_str());
            return EXIT_USAGE;
        }
        if (device == PROBE_AUTO) {
            const int found = ProbeFindOne(DEVICE_TYPE_SERIAL, blocks.front(), baudRate, &device);
            if (found != EXIT_DONE) {
                return found;
            }
        }
        return OpenSerial(device.c_str(), baudRate);
    }
    if (choice.usb) {
        return OpenUsb();
    }
    std::string port = choice.midiPort;
    if (port == PROBE_AUTO) {
        const int found = ProbeFindOne(DEVICE_TYPE_MIDI, blocks.front(), 0, &port);
        if (found != EXIT_DONE) {
            return found;
        }
    }
    // Input and output are one raw MIDI port on Linux.
    const TransportChoice midi = {DEVICE_TYPE_MIDI, 0, 0, port.c_str(), port.c_str(), 0};
    return OpenTransport(midi);
}

void CloseChosenDevice(void) {
    TransportClose(s_device.deviceType);
    if (s_device.deviceType == DEVICE_TYPE_USB_BULK) {
        free_cusbbulk();
    }
    if (s_device.rehearsal) {
        RehearsalStop();
        s_device.rehearsal = false;
    }
}

struct Inquiry {
    const SystemFileHeader* header;
    int result;
    InstrumentAnswer answer;
};

Inquiry s_inquiry = {nullptr, INQUIRE_NO_ANSWER, {}};

void InquireProc(void) {
    s_inquiry.result = InquireVersion(s_inquiry.header, s_device.deviceType, &s_inquiry.answer);
}

// Nobody answered block header's inquiry, or the instrument went away, or one of another
// product answered and the device check refused it.
int ReportNoAnswer(const SystemFileHeader& header, const InstrumentAnswer& answer) {
    if (ReportDeviceLost()) {
        return EXIT_FAILED;
    }
    if (!answer.otherProduct) {
        TerminalError("Failed to recieve data(timeout).");
    }
    TerminalError("%s(in update mode) is not found.", header.deviceName);
    if (answer.otherProduct) {
        ReportOtherProduct(header, answer.productId);
    }
    return EXIT_NO_ANSWER;
}

} // namespace

namespace {

int CollectBlock(const SystemFileBlock* block, void* context) {
    static_cast<std::vector<SystemFileHeader>*>(context)->push_back(block->header);
    return 1;
}

} // namespace

int ReadSystemFile(const std::string& file, std::vector<SystemFileHeader>* blocks,
                   char* errorText) {
    PlatformFile f = PlatformFileOpenRead(file.c_str());
    if (f == PLATFORM_FILE_NONE) {
        TextFormat(errorText, TEXT_SIZE, "File Open Error - %s", file.c_str());
        AppendFileOpenReason(file.c_str(), errorText, TEXT_SIZE);
        return 0;
    }
    const int ok = WalkSystemFile(f, CollectBlock, blocks, errorText);
    PlatformFileClose(&f);
    JsonReportFile(file, *blocks);
    return ok;
}

void FormatProductId(const SystemFileHeader& h, char* out, size_t size) {
    TextFormat(out, size, "%02X", h.productId[0]);
    for (int i = 1; i < 3 && h.productId[i] != PRODUCT_ID_ABSENT; i++) {
        char part[8];
        TextFormat(part, sizeof part, ":%02X", h.productId[i]);
        TextAppend(out, size, part);
    }
}

void PrintBlocks(const std::string& file, const std::vector<SystemFileHeader>& blocks) {
    TerminalPrint("%s: %d block%s for %s", file.c_str(), (int)blocks.size(),
                  blocks.size() == 1 ? "" : "s", blocks.empty() ? "" : blocks[0].deviceName);
    for (const SystemFileHeader& h : blocks) {
        char product[16];
        char member[8];
        FormatProductId(h, product, sizeof product);
        FormatMemberId(h, member, sizeof member);
        TerminalPrint("  %-8s (code %3d) version %d.%02d  product %s member %s  address 0x%08X "
                      "offset 0x%X size %u",
                      h.blockName, h.blockCode, h.versionMajor, h.versionMinor, product, member,
                      h.address, h.offset, h.dataSize);
    }
}

int SessionOpen(const DeviceChoice& choice, const std::vector<SystemFileHeader>& blocks) {
    char errorText[TEXT_SIZE];
    // The window's log area would show percentages in the status texts; the progress line
    // shows them here.
    ShowLog = 0;
    if (!AllocUpdateBuffers(errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    int status = OpenChosenDevice(choice, blocks);
    if (status != EXIT_DONE) {
        FreeUpdateBuffers();
    }
    return status;
}

void SessionClose(void) {
    CloseChosenDevice();
    FreeUpdateBuffers();
}

int SessionDeviceType(void) {
    return s_device.deviceType;
}

int SessionIsRehearsal(void) {
    return s_device.rehearsal ? 1 : 0;
}

int ReportAborted(void) {
    TerminalError("%s", USER_ABORTED_TEXT);
    return InterruptExitStatus();
}

int ReportDeviceLost(void) {
    // The transports' results cannot tell a pulled cable from a bad reply; the port can.
    int lost = 0;
    if (s_device.deviceType == DEVICE_TYPE_MIDI) {
        lost = MidiPortError();
    } else if (s_device.deviceType == DEVICE_TYPE_SERIAL) {
        lost = SerialOsPortError();
    }
    if (lost == 0) {
        return 0;
    }
    TerminalError("The instrument went away: %s", strerror(lost));
    JsonReportText("went_away", strerror(lost));
    return 1;
}

void ReportOtherProduct(const SystemFileHeader& asked, const unsigned char* productId) {
    SystemFileHeader other = asked;
    memcpy(other.productId, productId, sizeof other.productId);
    char otherText[16];
    char askedText[16];
    FormatProductId(other, otherText, sizeof otherText);
    FormatProductId(asked, askedText, sizeof askedText);
    char line[TEXT_SIZE];
    TextFormat(line, sizeof line,
               "Another product answered: product id %s, not %s. If it is the instrument to "
               "update all the same, give --skip-device-check.",
               otherText, askedText);
    TerminalError("%s", line);
    JsonReportText("other_product_id", otherText);
    JsonReportOutcome("other_product", line);
}

namespace {

// The inquiry writes no log rows of its own (the window shows its answer in the details
// rows): with -v the program tells what went out and what came back from the answer.
void LogInquiry(const SystemFileHeader& h, int result, const InstrumentAnswer& a) {
    char product[16];
    FormatProductId(h, product, sizeof product);
    TerminalLogFormat("Tx Inquiry... (Product ID : %s)", product);
    if (a.inquiryRead) {
        const InquiryValues& v = a.inquiry;
        TerminalLogFormat("Rx Inquiry : Protocol=%d , PacketSize=%u , Flags=%02X", v.protocolCode,
                          v.packetSize, v.deviceFlags);
    } else if (result != INQUIRE_NO_ANSWER) {
        TerminalLogFormat("Rx Inquiry : another product (%02X), taken over", a.productId[0]);
    }
    if (result == INQUIRE_NO_ANSWER && !a.inquiryRead) {
        if (a.otherProduct) {
            TerminalLogFormat("Rx Inquiry : another product (%02X), refused", a.productId[0]);
        } else {
            TerminalLogFormat("Rx Inquiry : no answer");
        }
        return;
    }
    TerminalLogFormat("Tx Version Request... (Type=%s , Code=%d)", h.blockName, h.blockCode);
    if (result == INQUIRE_NO_ANSWER) {
        TerminalLogFormat("Rx Version : no answer");
    } else {
        TerminalLogFormat("Rx Version : %d.%02d", a.versionMajor, a.versionMinor);
    }
}

} // namespace

// Asks the instrument for every block's version and shows each beside the file's.
// needsUpdate[i] tells whether block i is newer in the file.
int InquireBlocks(const std::vector<SystemFileHeader>& blocks, std::vector<bool>* needsUpdate,
                  std::vector<InstrumentAnswer>* answers) {
    for (const SystemFileHeader& h : blocks) {
        s_inquiry.header = &h;
        InfoClearDetails();
        if (!RunStoppable(InquireProc)) {
            return ReportAborted();
        }
        const InstrumentAnswer& a = s_inquiry.answer;
        LogInquiry(h, s_inquiry.result, a);
        JsonReportAnswer((size_t)(&h - blocks.data()), s_inquiry.result, a);
        if (s_inquiry.result == INQUIRE_NO_ANSWER) {
            return ReportNoAnswer(h, a);
        }
        const bool needed = s_inquiry.result == INQUIRE_UPDATE_NEEDED;
        const bool newer =
            !VersionAtLeast(h.versionMajor, h.versionMinor, a.versionMajor, a.versionMinor);
        TerminalPrint("  %-8s (code %3d): file %d.%02d, instrument %d.%02d%s", h.blockName,
                      h.blockCode, h.versionMajor, h.versionMinor, a.versionMajor, a.versionMinor,
                      needed  ? " (needs update)"
                      : newer ? " (newer than the file)"
                              : "");
        needsUpdate->push_back(needed);
        if (answers != nullptr) {
            answers->push_back(a);
        }
    }
    return EXIT_DONE;
}
