#include "cli/commands.h"

#include "cli/interrupt.h"
#include "cli/session.h"
#include "cli/terminal.h"
#include "midi/midi_transport_posix.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "transports/serial_port_posix.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <atomic>
#include <cstring>

namespace {

const int kFinishPollMs = 50;

// How the run ended, as the engine told it.
struct UpdateEnd {
    std::atomic<int> finished;
    int result;
    char text[TEXT_SIZE];
};

UpdateEnd s_end;

void ShowProgressRange(void*, int64_t length) {
    TerminalProgressRange(length);
}

void ShowProgressPosition(void*, int64_t position) {
    TerminalProgressPosition(position);
}

void TakeFinished(void*, int result, const char* text) {
    s_end.result = result;
    TextCopy(s_end.text, sizeof s_end.text, text);
    s_end.finished.store(1);
}

const UpdateObserver kTerminalObserver = {nullptr, ShowProgressRange, ShowProgressPosition, nullptr,
                                          TakeFinished};

// What the window's Stop dialog says before it lets the user abort a transfer.
int AskToAbort(void) {
    UpdatePause();
    TerminalHoldProgress(1);
    TerminalError("If you abort to transfer,device can't to start up normally.");
    TerminalError("(Then you should transer system file again and complete it.)");
    int answer = InterruptAsk("Are you sure to abort to transfer? [y/N] (Ctrl+C again: Abort)");
    if (answer == ANSWER_NO) {
        UpdateContinue();
    }
    TerminalHoldProgress(0);
    return answer != ANSWER_NO;
}

// Runs the update thread to its end, asking on Ctrl+C whether to abort; 1 when the
// user aborted.
int RunUpdateThread(const UpdateArguments& arguments) {
    s_end.finished.store(0);
    s_end.result = UPDATE_RESULT_FAILED;
    s_end.text[0] = '\0';
    StartUpdate(&kTerminalObserver, arguments.file.c_str(), SessionDeviceType(),
                arguments.skipVersionCheck, arguments.skipDeviceCheck);
    int aborted = 0;
    while (!s_end.finished.load()) {
        int signal = InterruptWait(kFinishPollMs);
        if (signal == INTERRUPT_NONE || (signal == INTERRUPT_ASK && !AskToAbort())) {
            continue;
        }
        UpdateAbort(TransportWaitSleeping);
        aborted = 1;
    }
    UpdateEndThread();
    TerminalProgressEnd();
    return aborted;
}

// The rehearsal's proof: every block the update sent stands in the instrument's flash.
struct FlashCheck {
    PlatformFile file;
    const std::vector<bool>* sent;
    size_t index;
    int result;
    std::vector<unsigned char> data;
    std::vector<unsigned char> flash;
};

int CheckBlockInFlash(const SystemFileBlock* block, void* context) {
    FlashCheck& c = *static_cast<FlashCheck*>(context);
    const SystemFileHeader& h = block->header;
    const uint32_t at = h.address + h.offset;
    if (c.index >= c.sent->size()) {
        return 0;
    }
    if (!(*c.sent)[c.index++]) {
        TerminalPrint("Rehearsal: block %s (code %d) skipped: the instrument has it.", h.blockName,
                      h.blockCode);
        return 1;
    }
    c.data.assign(h.dataSize, 0);
    c.flash.assign(h.dataSize, 0);
    const bool same = PlatformFileRead(c.file, c.data.data(), h.dataSize) == (int)h.dataSize &&
                      VirtualInstrumentFlashRead(at, c.flash.data(), h.dataSize) &&
                      c.data == c.flash;
    TerminalPrint("Rehearsal: block %s (code %d) at 0x%06X, %u bytes: %s", h.blockName, h.blockCode,
                  at, h.dataSize, same ? "in flash" : "DIFFERENT");
    if (!same) {
        c.result = EXIT_FAILED;
    }
    return 1;
}

int CheckRehearsalFlash(const UpdateArguments& arguments, const std::vector<bool>& sent) {
    FlashCheck check = {PlatformFileOpenRead(arguments.file.c_str()), &sent, 0, EXIT_DONE, {}, {}};
    if (check.file == PLATFORM_FILE_NONE) {
        TerminalError("File Open Error - %s", arguments.file.c_str());
        return EXIT_FAILED;
    }
    char errorText[TEXT_SIZE];
    if (!WalkSystemFile(check.file, CheckBlockInFlash, &check, errorText)) {
        TerminalError("%s", errorText);
        check.result = EXIT_FAILED;
    }
    PlatformFileClose(&check.file);
    return check.result;
}

int ReportUpdateEnd(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks,
                    const std::vector<bool>& sent, int aborted) {
    if (s_end.result != UPDATE_RESULT_COMPLETED) {
        TerminalError("%s", s_end.text);
        // The engine's texts cannot tell a pulled cable from a bad reply; the port can.
        const int lost =
            SessionDeviceType() == DEVICE_TYPE_MIDI ? MidiPortError() : SerialOsPortError();
        if (lost != 0) {
            TerminalError("The instrument went away: %s", strerror(lost));
        }
        return aborted || s_end.result == UPDATE_RESULT_ABORTED ? EXIT_ABORTED : EXIT_FAILED;
    }
    const SystemFileHeader& first = blocks[0];
    TerminalPrint("%s has been updated to %d.%02d successfully.", first.deviceName,
                  first.versionMajor, first.versionMinor);
    TerminalPrint("Turn it off and back on to use it.");
    TerminalPrint("Update completed!");
    return SessionIsRehearsal() ? CheckRehearsalFlash(arguments, sent) : EXIT_DONE;
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
        if (answer == ANSWER_STOPPED) {
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

} // namespace

int CommandUpdate(const UpdateArguments& arguments) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    if (!ReadSystemFile(arguments.file, &blocks, errorText)) {
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    PrintBlocks(arguments.file, blocks);
    int status = SessionOpen(arguments.device, blocks);
    if (status == EXIT_DONE) {
        status = UpdateOnDevice(arguments, blocks);
        SessionClose();
    }
    return status;
}
