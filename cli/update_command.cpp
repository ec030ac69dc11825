#include "cli/commands.h"

#include "cli/interrupt.h"
#include "cli/session.h"
#include "cli/terminal.h"
#include "cli/terminal_view.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <atomic>
#include <cstring>

namespace {

// The window values the engine is given; the hooks take what it posts and sends to them.
PlatformWindow const kMainWindow = reinterpret_cast<PlatformWindow>(0x1000);
PlatformWindow const kProgressBar = reinterpret_cast<PlatformWindow>(0x2000);

const int kFinishPollMs = 50;
const int kAbortRepeatMs = 20;

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
    StartUpdate(kMainWindow, arguments.file.c_str(), SessionDeviceType(),
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
        if (text[0] == '\0') {
            // A file the engine cannot open ends the run before it has a status row; an
            // update thread that could not be made ends it before anything at all.
            TerminalLastLogRow(text, sizeof text);
        }
        TerminalError("%s", text[0] != '\0' ? text : "The update could not be started.");
        return aborted || strcmp(text, USER_ABORTED_TEXT) == 0 ? EXIT_ABORTED : EXIT_FAILED;
    }
    const SystemFileHeader& first = blocks[0];
    TerminalPrint("%s has been updated to %d.%02d successfully.", first.deviceName,
                  first.versionMajor, first.versionMinor);
    TerminalPrint("Turn it off and back on to use it.");
    TerminalPrint("Update completed!");
    return SessionIsRehearsal() ? CheckRehearsalFlash(arguments, blocks, sent) : EXIT_DONE;
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
