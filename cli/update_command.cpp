#include "cli/commands.h"

#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/progress_line.h"
#include "cli/session.h"
#include "cli/terminal.h"
#include "platform/platform_file.h"
#include "platform/text.h"
#include "sim/virtual_instrument.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kFinishPollMs = 50;
// The longest a stop without a question gives the packet in flight to be acknowledged:
// the instrument's acknowledgement time-out and a little more.
const int kPacketInFlightMs = 6000;

// The window's Stop dialog, on the terminal.
const char kAbortQuestion[] = "If you abort to transfer,device can't to start up normally.\n"
                              "(Then you should transer system file again and complete it.)\n"
                              "Are you sure to abort to transfer? [y/N] (Ctrl+C again: Abort)";

// How the run ended, as the engine told it.
struct UpdateEnd {
    std::atomic<int> finished;
    int result;
    char text[TEXT_SIZE];
};

UpdateEnd s_end;

// What the engine told of the blocks as the run went: written on the update thread, read
// by the main thread once the thread has ended, except for events.
struct BlockReport {
    std::atomic<int> events;         // every call of the observer: a stop waits for one
    const std::vector<bool>* toSend; // the blocks the inquiry found the instrument needs
    std::vector<bool> sent;          // every block done so far, in the file's order
    int inTransfer;                  // the next block's packets have begun to go out
    ProgressCount count;
};

BlockReport s_blocks;

int64_t BlockBytes(const SystemFileHeader& h) {
    return BLOCK_HEADER_SIZE + (int64_t)h.dataSize;
}

int64_t BytesToSend(const std::vector<SystemFileHeader>& blocks, const std::vector<bool>& toSend) {
    int64_t total = 0;
    for (size_t i = 0; i < blocks.size(); i++) {
        total += toSend[i] ? BlockBytes(blocks[i]) : 0;
    }
    return total;
}

// The engine's bar runs over the whole file; the progress line counts what goes out.
void ShowProgressRange(void*, int64_t) {
    s_blocks.events++;
    TerminalProgressRange(s_blocks.count.total);
}

void ShowProgressPosition(void*, int64_t position) {
    s_blocks.events++;
    ProgressCountPosition(&s_blocks.count, position);
    TerminalProgressPosition(ProgressCountSent(&s_blocks.count));
}

void TakeTransferActive(void*, int active) {
    s_blocks.events++;
    if (active == TRANSFER_STARTED) {
        ProgressCountTransferStarted(&s_blocks.count);
        s_blocks.inTransfer = 1;
    }
}

void TakeBlockDone(void*, const SystemFileHeader* header, int sent) {
    BlockReport& b = s_blocks;
    const size_t index = b.sent.size();
    const int expected = index < b.toSend->size() && (*b.toSend)[index];
    const int64_t total = b.count.total;
    ProgressCountBlockDone(&b.count, BlockBytes(*header), sent, expected);
    if (b.count.total != total) {
        TerminalProgressTotal(b.count.total);
    }
    TerminalProgressPosition(ProgressCountSent(&b.count));
    b.sent.push_back(sent != 0);
    b.inTransfer = 0;
    b.events++;
}

void TakeFinished(void*, int result, const char* text) {
    s_end.result = result;
    TextCopy(s_end.text, sizeof s_end.text, text);
    s_blocks.events++;
    s_end.finished.store(1);
}

const UpdateObserver kTerminalObserver = {
    nullptr,      ShowProgressRange, ShowProgressPosition, TakeTransferActive,
    TakeFinished, TakeBlockDone};

// A stop without a question holds the run after the packet in flight, as the Stop dialog
// does when it opens, and gives the run the time to get there: the engine then tells of
// the acknowledged packet, or of the block whose packets are about to go out, or that the
// run ended. seen: the engine's calls counted once the run was paused. A second stop
// signal cuts the wait short.
void WaitForPacketInFlight(int seen) {
    for (int waited = 0; waited < kPacketInFlightMs && s_blocks.events.load() == seen;
         waited += kFinishPollMs) {
        if (InterruptWait(kFinishPollMs) != INTERRUPT_NONE) {
            return;
        }
    }
}

// Ctrl+C during the transfer: 1 when the run is to be aborted. On a terminal the user is
// asked as the window's Stop dialog asks; without one to ask on (a service, a script, a
// background job, which must not read the terminal) Ctrl+C is the dialog's Abort.
int StopOnCtrlC(void) {
    UpdatePause();
    const int seen = s_blocks.events.load();
    TerminalHoldProgress(1);
    const int answer = InterruptAsk(kAbortQuestion);
    TerminalHoldProgress(0);
    if (answer == ANSWER_NO) {
        UpdateContinue();
        return 0;
    }
    if (answer == ANSWER_NO_TERMINAL) {
        WaitForPacketInFlight(seen);
    }
    return 1;
}

// Runs the update thread to its end, asking on Ctrl+C whether to abort; 1 when the
// user aborted.
int RunUpdateThread(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks,
                    const std::vector<bool>& toSend) {
    s_end.finished.store(0);
    s_end.result = UPDATE_RESULT_FAILED;
    s_end.text[0] = '\0';
    s_blocks.toSend = &toSend;
    s_blocks.sent.clear();
    s_blocks.inTransfer = 0;
    ProgressCountStart(&s_blocks.count, BytesToSend(blocks, toSend));
    StartUpdate(&kTerminalObserver, arguments.file.c_str(), SessionDeviceType(),
                arguments.skipVersionCheck, arguments.skipDeviceCheck);
    int aborted = 0;
    while (!s_end.finished.load()) {
        int signal = InterruptWait(kFinishPollMs);
        if (signal == INTERRUPT_NONE || (signal == INTERRUPT_ASK && !StopOnCtrlC())) {
            continue;
        }
        UpdateAbort(TransportWaitSleeping);
        aborted = 1;
    }
    UpdateEndThread();
    TerminalProgressEnd();
    return aborted;
}

// A word of a command line as a POSIX shell reads it back.
std::string ShellWord(const std::string& word) {
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789@%+=:,./_-";
    if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The command line of this update as the user can give it again.
std::string UpdateCommandLine(const UpdateArguments& a, bool skipVersionCheck) {
    std::vector<std::string> words = {program_invocation_name, "update", a.file};
    const DeviceChoice& d = a.device;
    if (d.rehearse) {
        words.push_back("--rehearse");
        for (const auto& setting : d.instrument) {
            words.push_back("--instrument-" + setting.first);
            words.push_back(setting.second);
        }
    } else if (!d.serialDevice.empty()) {
        words.insert(words.end(), {"--serial", d.serialDevice});
    } else if (d.usb) {
        words.push_back("--usb");
    } else {
        words.insert(words.end(), {"--midi", d.midiPort});
    }
    if (skipVersionCheck) {
        words.push_back("--skip-version-check");
    }
    if (a.skipDeviceCheck) {
        words.push_back("--skip-device-check");
    }
    if (a.yes) {
        words.push_back("--yes");
    }
    std::string line;
    for (const std::string& word : words) {
        line += (line.empty() ? "" : " ") + ShellWord(word);
    }
    return line;
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

// After a run that ended early: the block it cut, if any, and the command that sends the
// file again. The instrument still reports a cut block's old version, so the same command
// sends that block again, whole.
void ReportInterrupted(const UpdateArguments& arguments,
                       const std::vector<SystemFileHeader>& blocks) {
    const size_t next = s_blocks.sent.size();
    bool anySent = false;
    for (bool sent : s_blocks.sent) {
        anySent = anySent || sent;
    }
    if (next >= blocks.size() || (!s_blocks.inTransfer && !anySent)) {
        return; // the instrument holds what it held before
    }
    const SystemFileHeader& h = blocks[next];
    if (s_blocks.inTransfer) {
        TerminalError("Block %s (code %d) was interrupted: the instrument holds only part of it, "
                      "and may not start up normally until the file has been sent again.",
                      h.blockName, h.blockCode);
    } else {
        TerminalError("The update stopped before block %s (code %d); the blocks before it were "
                      "sent.",
                      h.blockName, h.blockCode);
    }
    if (SessionIsRehearsal()) {
        return; // its instrument ends with this run
    }
    TerminalError("Send the file again with:");
    TerminalError("  %s", UpdateCommandLine(arguments, arguments.skipVersionCheck).c_str());
}

// Each block as the run left it, and the version it brought: the first block's, as the
// window says it, when that block went out, otherwise the first block sent.
void ReportCompleted(const std::vector<SystemFileHeader>& blocks) {
    const SystemFileHeader* named = nullptr;
    for (size_t i = 0; i < blocks.size() && i < s_blocks.sent.size(); i++) {
        const SystemFileHeader& h = blocks[i];
        const bool sent = s_blocks.sent[i];
        TerminalPrint("  %-8s (code %3d): %d.%02d %s", h.blockName, h.blockCode, h.versionMajor,
                      h.versionMinor, sent ? "sent" : "not sent, the instrument has it");
        if (sent && named == nullptr) {
            named = &h;
        }
    }
    if (named == nullptr) {
        named = &blocks[0];
    }
    char done[TEXT_SIZE];
    TextFormat(done, sizeof done, "%s has been updated to %d.%02d successfully.", named->deviceName,
               named->versionMajor, named->versionMinor);
    TerminalPrint("%s", done);
    JsonReportOutcome("completed", done);
}

// What became of each block, for the document: the run's account of the blocks it dealt
// with and of the one it was inside when it ended; the others keep "not_sent".
void ReportBlockResults(const std::vector<SystemFileHeader>& blocks) {
    for (size_t i = 0; i < s_blocks.sent.size(); i++) {
        JsonReportBlockResult(i, s_blocks.sent[i] ? "sent" : "skipped");
    }
    if (s_blocks.inTransfer && s_blocks.sent.size() < blocks.size()) {
        JsonReportBlockResult(s_blocks.sent.size(), "interrupted");
    }
}

int ReportUpdateEnd(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks,
                    const std::vector<bool>& sent, int aborted) {
    ReportBlockResults(blocks);
    if (s_end.result != UPDATE_RESULT_COMPLETED) {
        TerminalError("%s", s_end.text);
        JsonReportOutcome(nullptr, s_end.text);
        ReportDeviceLost();
        ReportInterrupted(arguments, blocks);
        return aborted || s_end.result == UPDATE_RESULT_ABORTED ? InterruptExitStatus()
                                                                : EXIT_FAILED;
    }
    ReportCompleted(blocks);
    TerminalPrint("Turn it off and back on to use it.");
    TerminalPrint("Update completed!");
    if (SessionIsRehearsal() && CheckRehearsalFlash(arguments, sent) != EXIT_DONE) {
        JsonReportOutcome("failed", "The rehearsal's flash does not hold the file.");
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

// Nothing to send: the instrument holds the file's versions, or newer ones, which the
// file would put back only when told to.
int ReportNothingToSend(const UpdateArguments& arguments,
                        const std::vector<SystemFileHeader>& blocks,
                        const std::vector<InstrumentAnswer>& answers) {
    bool newer = false;
    for (size_t i = 0; i < blocks.size() && i < answers.size(); i++) {
        const SystemFileHeader& h = blocks[i];
        newer = newer || !VersionAtLeast(h.versionMajor, h.versionMinor, answers[i].versionMajor,
                                         answers[i].versionMinor);
        JsonReportBlockResult(i, "skipped");
    }
    if (!newer) {
        TerminalPrint("Already the latest version.");
        JsonReportOutcome("current", "Already the latest version.");
        return EXIT_DONE;
    }
    const char kNewer[] = "The instrument holds a newer version than the file: nothing was sent.";
    TerminalPrint("%s", kNewer);
    JsonReportOutcome("newer", kNewer);
    TerminalPrint("To put the file's older version on it all the same:");
    TerminalPrint("  %s", UpdateCommandLine(arguments, true).c_str());
    return EXIT_DONE;
}

// Without a terminal "Update now?" cannot be asked, and a run that waits for an answer
// nobody can give helps no one.
int RefuseWithoutTerminal(void) {
    TerminalError("orvent-update: no terminal to ask \"Update now?\" on (none, or the program "
                  "runs in the background): give --yes to update without asking.");
    return EXIT_USAGE;
}

int UpdateOnDevice(const UpdateArguments& arguments, const std::vector<SystemFileHeader>& blocks) {
    g_updateEngine.skipDeviceCheck = arguments.skipDeviceCheck;
    std::vector<bool> needsUpdate;
    std::vector<InstrumentAnswer> answers;
    TerminalPrint("The instrument holds:");
    int status = InquireBlocks(blocks, &needsUpdate, &answers);
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
        return ReportNothingToSend(arguments, blocks, answers);
    }
    TerminalPrint("Update puts the latest system software on your %s.", blocks[0].deviceName);
    if (!arguments.yes) {
        int answer = InterruptAsk("Update now? [y/N]");
        if (answer == ANSWER_STOPPED) {
            return ReportAborted();
        }
        if (answer == ANSWER_NO_TERMINAL) {
            return RefuseWithoutTerminal();
        }
        if (answer != ANSWER_YES) {
            TerminalError("Nothing was sent.");
            return EXIT_DECLINED;
        }
    }
    int aborted = RunUpdateThread(arguments, blocks, sent);
    // The blocks as the run dealt with them, which the inquiry before it only foresaw.
    return ReportUpdateEnd(arguments, blocks, s_blocks.sent, aborted);
}

} // namespace

int CommandUpdate(const UpdateArguments& arguments) {
    if (!arguments.yes && !InterruptCanAsk()) {
        return RefuseWithoutTerminal();
    }
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
