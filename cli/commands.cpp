#include "cli/commands.h"

#include "cli/interrupt.h"
#include "cli/rehearsal.h"
#include "cli/serial_devices.h"
#include "cli/terminal.h"
#include "cli/terminal_view.h"
#include "logview/log_view.h"
#include "midi/midi_rawmidi.h"
#include "midi/midi_transport.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "sysfile/system_file.h"
#include "transports/serial_port.h"
#include "transports/serial_port_posix.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// The window values the engine is given; the hooks take what it posts and sends to them.
PlatformWindow const kMainWindow = reinterpret_cast<PlatformWindow>(0x1000);
PlatformWindow const kProgressBar = reinterpret_cast<PlatformWindow>(0x2000);

// The serial transport names its ports by number; the program's device is always COM1.
const int kSerialPort = 1;
const int kFinishPollMs = 50;
const int kAbortRepeatMs = 20;

// ---- The system file -------------------------------------------------------------------

// Every block header of the file, in order. 0 with the reader's text in errorText.
int ReadBlocks(const std::string& file, std::vector<SystemFileHeader>* blocks, char* errorText) {
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

void FormatMemberId(const SystemFileHeader& h, char* out, size_t size) {
    if (h.memberId >= MEMBER_ID_ABSENT_FROM) {
        TextCopy(out, size, "none");
    } else {
        TextFormat(out, size, "%02X", h.memberId);
    }
}

// ---- The device ------------------------------------------------------------------------

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
            TerminalError("orvent-update: --instrument-%s %s: no such setting of the instrument",
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

// ---- The version inquiry ---------------------------------------------------------------

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
        TerminalDetailsValue(2, held, sizeof held);
        TerminalPrint("  %-8s (code %3d): file %d.%02d, instrument %s", h.blockName, h.blockCode,
                      h.versionMajor, h.versionMinor, held);
        needsUpdate->push_back(s_inquiry.result == INQUIRE_UPDATE_NEEDED);
    }
    return EXIT_DONE;
}

// ---- The update ------------------------------------------------------------------------

std::atomic<int> s_finished{0};
std::atomic<intptr_t> s_result{0};

void OnPost(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    if (window == kMainWindow && commandId == CMD_UPDATE_FINISHED) {
        s_result.store(lParam);
        s_finished.store(1);
    }
}

intptr_t OnSend(PlatformWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window != kProgressBar) {
        return 0;
    }
    if (message == PBM_SETRANGE32_MSG) {
        TerminalProgressRange((int64_t)lParam);
    } else if (message == PBM_SETPOS_MSG) {
        TerminalProgressPosition((int64_t)wParam);
    }
    return 0;
}

// The update may have moved on since the state was read; a change applies only from the
// state named, never over one the update thread has set meanwhile.
void ChangeUpdateState(int from, int to) {
    int expected = from;
    g_updateEngine.updateState.compare_exchange_strong(expected, to);
}

// What the window's Stop dialog says before it lets the user abort a transfer.
int AskToAbort(void) {
    ChangeUpdateState(UPDATE_RUNNING, UPDATE_PAUSED);
    TerminalHoldProgress(1);
    TerminalError("If you abort to transfer,device can't to start up normally.");
    TerminalError("(Then you should transer system file again and complete it.)");
    int answer = InterruptAsk("Are you sure to abort to transfer? [y/N] (Ctrl+C again: Abort)");
    if (answer == ANSWER_NO) {
        ChangeUpdateState(UPDATE_PAUSED, UPDATE_RUNNING);
    }
    TerminalHoldProgress(0);
    return answer != ANSWER_NO;
}

// Runs the update thread to its end, asking on Ctrl+C whether to abort; 1 when the
// user aborted.
int RunUpdateThread(const UpdateArguments& arguments) {
    s_finished.store(0);
    s_result.store(0);
    PlatformSetWindowHooks(OnPost, OnSend);
    UpdateSetProgressBar(kProgressBar);
    StartUpdate(kMainWindow, arguments.file.c_str(), s_device.deviceType,
                arguments.skipVersionCheck, arguments.skipDeviceCheck);
    int aborting = 0;
    while (!s_finished.load()) {
        if (aborting) {
            // The thread may be waiting for a reply rather than at its pause point, or
            // about to start waiting: the transport ends this wait and every later one.
            AbortReceive();
            PlatformSleep(kAbortRepeatMs);
            continue;
        }
        int signal = InterruptWait(kFinishPollMs);
        if (signal == INTERRUPT_NONE || (signal == INTERRUPT_ASK && !AskToAbort())) {
            continue;
        }
        ChangeUpdateState(UPDATE_RUNNING, UPDATE_PAUSED);
        ChangeUpdateState(UPDATE_PAUSED, UPDATE_ABORT);
        aborting = 1;
    }
    UpdateEndThread();
    PlatformSetWindowHooks(nullptr, nullptr);
    TerminalProgressEnd();
    return aborting;
}

// The rehearsal's proof: every block the update sent stands in the instrument's flash.
int CheckRehearsalFlash(const UpdateArguments& arguments,
                        const std::vector<SystemFileHeader>& blocks,
                        const std::vector<bool>& sent) {
    PlatformFile f = PlatformFileOpenRead(arguments.file.c_str());
    if (f == PLATFORM_FILE_NONE) {
        TerminalError("File Open Error - %s", arguments.file.c_str());
        return EXIT_FAILED;
    }
    int result = EXIT_DONE;
    int64_t position = 0;
    std::vector<unsigned char> data;
    std::vector<unsigned char> flash;
    for (size_t i = 0; i < blocks.size(); i++) {
        const SystemFileHeader& h = blocks[i];
        position += BLOCK_HEADER_SIZE;
        const uint32_t at = h.address + h.offset;
        if (!sent[i]) {
            TerminalPrint("Rehearsal: block %s (code %d) skipped: the instrument has it.",
                          h.blockName, h.blockCode);
            position += h.dataSize;
            continue;
        }
        data.assign(h.dataSize, 0);
        flash.assign(h.dataSize, 0);
        const bool same = PlatformFileSeek(f, position) &&
                          PlatformFileRead(f, data.data(), h.dataSize) == (int)h.dataSize &&
                          VirtualInstrumentFlashRead(at, flash.data(), h.dataSize) && data == flash;
        TerminalPrint("Rehearsal: block %s (code %d) at 0x%06X, %u bytes: %s", h.blockName,
                      h.blockCode, at, h.dataSize, same ? "in flash" : "DIFFERENT");
        if (!same) {
            result = EXIT_FAILED;
        }
        position += h.dataSize;
    }
    PlatformFileClose(&f);
    return result;
}

int ReportUpdateEnd(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks,
                    const std::vector<bool>& sent, int aborted) {
    if (s_result.load() == 0) {
        char text[TEXT_SIZE];
        TerminalLastStatus(text, sizeof text);
        // A file the engine cannot open ends the run before it has a status row.
        TerminalError("%s", text[0] != '\0' ? text : "File Open Error");
        return aborted || strcmp(text, USER_ABORTED_TEXT) == 0 ? EXIT_ABORTED : EXIT_FAILED;
    }
    const SystemFileHeader& first = blocks[0];
    TerminalPrint("%s has been updated to %d.%02d successfully.", first.deviceName,
                  first.versionMajor, first.versionMinor);
    TerminalPrint("Turn it off and back on to use it.");
    TerminalPrint("Update completed!");
    return s_device.rehearsal ? CheckRehearsalFlash(arguments, blocks, sent) : EXIT_DONE;
}

int Prepare(char* errorText) {
    ShowLog = 0;
    return AllocUpdateBuffers(errorText);
}

int UpdateOnDevice(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks) {
    g_updateEngine.skipDeviceCheck = arguments.skipDeviceCheck;
    std::vector<bool> needsUpdate;
    TerminalPrint("The instrument holds:");
    int status = InquireBlocks(blocks, &needsUpdate);
    if (status != EXIT_DONE) {
        return status;
    }
    std::vector<bool> sent = needsUpdate;
    bool any = false;
    for (size_t i = 0; i < sent.size(); i++) {
        sent[i] = sent[i] || arguments.skipVersionCheck;
        any = any || sent[i];
    }
    if (!any) {
        TerminalPrint("Already the latest version.");
        return EXIT_DONE;
    }
    TerminalPrint("Update puts the latest system software on your %s.", blocks[0].deviceName);
    if (!arguments.yes) {
        int answer = InterruptAsk("Update now? [y/N]");
        if (answer == INTERRUPT_ASK || answer == INTERRUPT_STOP) {
            return ReportAborted();
        }
        if (answer != ANSWER_YES) {
            TerminalError("Nothing was sent.");
            return EXIT_FAILED;
        }
    }
    int aborted = RunUpdateThread(arguments);
    return ReportUpdateEnd(arguments, blocks, sent, aborted);
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

} // namespace

int CommandInfo(const std::string& file) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    int ok = ReadBlocks(file, &blocks, errorText);
    PrintBlocks(file, blocks);
    if (!ok) {
        if (!blocks.empty()) {
            TerminalError("Block %d:", (int)blocks.size() + 1);
        }
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

int CommandPorts(void) {
    RawMidiPortInfo ports[64];
    const int count = RawMidiListPorts(ports, 64);
    if (count == 0) {
        TerminalPrint("No MIDI port found.");
    } else {
        TerminalPrint("MIDI ports:");
    }
    for (int i = 0; i < count && i < 64; i++) {
        const RawMidiPortInfo& p = ports[i];
        TerminalPrint("  %-12s %s%s  card %d device %d subdevice %d  %s", p.id,
                      p.canInput ? "in" : "  ", p.canOutput ? "out" : "   ", p.card, p.device,
                      p.subdevice, p.name);
    }
    std::vector<std::string> serial;
    ListSerialDevices(&serial);
    TerminalPrint(serial.empty() ? "No serial device found." : "Serial devices:");
    for (const std::string& device : serial) {
        TerminalPrint("  %s", device.c_str());
    }
    return EXIT_DONE;
}

int CommandUpdate(const UpdateArguments& arguments) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    if (!ReadBlocks(arguments.file, &blocks, errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    PrintBlocks(arguments.file, blocks);
    if (!Prepare(errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    int status = OpenChosenDevice(arguments.device, blocks);
    if (status == EXIT_DONE) {
        status = UpdateOnDevice(arguments, blocks);
        CloseChosenDevice();
    }
    FreeUpdateBuffers();
    return status;
}

namespace {

struct BareInquiry {
    SystemFileHeader header;
    unsigned char reply[REPLY_BUFFER_SIZE];
    char errorText[TEXT_SIZE];
    int position;
};

BareInquiry s_bare;

void BareInquiryProc(void) {
    BareInquiry& q = s_bare;
    unsigned char* message = g_updateEngine.messageBuffer;
    g_updateEngine.deviceType = s_device.deviceType;
    for (int attempt = 0; attempt < 2; attempt++) {
        q.position = ExchangeMessage(message, BuildInquiry(message, &q.header), q.reply, &q.header,
                                     MSG_INQUIRY_REPLY, q.errorText, TIMEOUT_TICKS_REPLY);
        // An instrument of another product, taken in because the device check is
        // skipped, is asked once more under its own id, as the update asks it.
        if (q.position != REPLY_ID_ADOPTED) {
            return;
        }
    }
}

int ReportBareInquiry(void) {
    BareInquiry& q = s_bare;
    if (q.position <= 0) {
        if (LastReceiveResult() != TRANSPORT_DONE) {
            TerminalError("Failed to recieve data(timeout).");
            return EXIT_NO_ANSWER;
        }
        TerminalError("%s", q.errorText);
        return EXIT_FAILED;
    }
    const unsigned char* r = q.reply + q.position;
    const int code = r[0];
    if (code > PROTOCOL_CODE_28BIT) {
        TerminalError("Protocol code error(need newer tool).");
        return EXIT_FAILED;
    }
    const uint32_t packetSize =
        code == PROTOCOL_CODE_14BIT ? Decode14Bit(r + 1) : Decode28Bit(r + 1);
    const unsigned char flags = r[code == PROTOCOL_CODE_14BIT ? 3 : 5];
    char product[16];
    FormatProductId(q.header, product, sizeof product);
    TerminalPrint("The instrument (product %s) answered: protocol code %d, packet size %u, "
                  "raw packets %s, fill packets %s",
                  product, code, packetSize, flags & DEVICE_FLAG_RAW ? "yes" : "no",
                  flags & DEVICE_FLAG_FILL ? "yes" : "no");
    return EXIT_DONE;
}

int VersionOnDevice(const VersionArguments& arguments,
                    const std::vector<SystemFileHeader>& blocks) {
    g_updateEngine.skipDeviceCheck = arguments.skipDeviceCheck;
    if (!arguments.file.empty()) {
        std::vector<bool> needsUpdate;
        TerminalPrint("The instrument holds:");
        return InquireBlocks(blocks, &needsUpdate);
    }
    if (!RunStoppable(BareInquiryProc)) {
        return ReportAborted();
    }
    return ReportBareInquiry();
}

} // namespace

int CommandVersion(const VersionArguments& arguments) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    if (!arguments.file.empty()) {
        if (!ReadBlocks(arguments.file, &blocks, errorText)) {
            TerminalError("%s", errorText);
            return EXIT_FAILED;
        }
    } else {
        SystemFileHeader& h = s_bare.header;
        memset(&h, 0, sizeof h);
        h.memberId = PRODUCT_ID_ABSENT;
        if (!InstrumentParseProductId(arguments.productId.c_str(), h.productId)) {
            TerminalError("orvent-update: --product-id %s: 1 to 3 hexadecimal bytes, as 3C or "
                          "3C:12",
                          arguments.productId.c_str());
            return EXIT_USAGE;
        }
        blocks.push_back(h);
    }
    if (!Prepare(errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    int status = OpenChosenDevice(arguments.device, blocks);
    if (status == EXIT_DONE) {
        status = VersionOnDevice(arguments, blocks);
        CloseChosenDevice();
    }
    FreeUpdateBuffers();
    return status;
}
