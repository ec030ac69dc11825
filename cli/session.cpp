#include "cli/session.h"

#include "cli/interrupt.h"
#include "cli/rehearsal.h"
#include "cli/serial_devices.h"
#include "cli/terminal.h"
#include "cli/terminal_view.h"
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "transports/serial_port.h"
#include "transports/serial_port_posix.h"
#include "update/transport.h"
#include "update/update_engine.h"

namespace {

// The serial transport names its ports by number; the program's device is always COM1.
const int kSerialPort = 1;
// The details row the version inquiry writes the instrument's version into.
const int kVersionRow = 2;

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

int OpenSerial(const char* device, int baudRate) {
    char errorText[PATH_SIZE];
    SerialOsNameDevice(kSerialPort, device);
    if (!SerialOpen(kSerialPort, baudRate, errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    s_device.deviceType = DEVICE_TYPE_SERIAL;
    return EXIT_DONE;
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
        return OpenSerial(device.c_str(), baudRate);
    }
    char errorText[PATH_SIZE];
    // Input and output are one raw MIDI port on Linux.
    if (!MidiOpen(choice.midiPort.c_str(), choice.midiPort.c_str(), errorText, 0)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    s_device.deviceType = DEVICE_TYPE_MIDI;
    return EXIT_DONE;
}

void CloseChosenDevice(void) {
    if (s_device.deviceType == DEVICE_TYPE_MIDI) {
        MidiClose();
    } else {
        SerialClose();
    }
    if (s_device.rehearsal) {
        RehearsalStop();
        s_device.rehearsal = false;
    }
}

struct Inquiry {
    const SystemFileHeader* header;
    int result;
};

Inquiry s_inquiry = {nullptr, INQUIRE_NO_ANSWER};

void InquireProc(void) {
    s_inquiry.result = InquireVersion(s_inquiry.header, s_device.deviceType);
}

int ReportNoAnswer(const SystemFileHeader& header) {
    TerminalError("Failed to recieve data(timeout).");
    TerminalError("%s(in update mode) is not found.", header.deviceName);
    return EXIT_NO_ANSWER;
}

} // namespace

// Every block header of the file, in order. 0 with the reader's text in errorText.
int ReadSystemFile(const std::string& file, std::vector<SystemFileHeader>* blocks,
                   char* errorText) {
    PlatformFile f = PlatformFileOpenRead(file.c_str());
    if (f == PLATFORM_FILE_NONE) {
        TextFormat(errorText, TEXT_SIZE, "File Open Error - %s", file.c_str());
        return 0;
    }
    int ok = 1;
    for (;;) {
        SystemFileHeader header;
        if (!ReadBlockHeader(f, &header, errorText)) {
            ok = 0;
            break;
        }
        blocks->push_back(header);
        if (header.isLastBlock) {
            break;
        }
        if (!PlatformFileSeek(f, PlatformFilePosition(f) + header.dataSize)) {
            TextCopy(errorText, TEXT_SIZE, "Filesize Error(shorter than header paramter).");
            ok = 0;
            break;
        }
    }
    PlatformFileClose(&f);
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
    return EXIT_ABORTED;
}

// Asks the instrument for every block's version and shows each beside the file's.
// needsUpdate[i] tells whether block i is newer in the file.
int InquireBlocks(const std::vector<SystemFileHeader>& blocks, std::vector<bool>* needsUpdate) {
    for (const SystemFileHeader& h : blocks) {
        s_inquiry.header = &h;
        InfoClearDetails();
        if (!RunStoppable(InquireProc)) {
            return ReportAborted();
        }
        if (s_inquiry.result == INQUIRE_NO_ANSWER) {
            return ReportNoAnswer(h);
        }
        char held[TEXT_SIZE];
        TerminalDetailsValue(kVersionRow, held, sizeof held);
        TerminalPrint("  %-8s (code %3d): file %d.%02d, instrument %s", h.blockName, h.blockCode,
                      h.versionMajor, h.versionMinor, held);
        needsUpdate->push_back(s_inquiry.result == INQUIRE_UPDATE_NEEDED);
    }
    return EXIT_DONE;
}
