// The checks after each soak run.
#include "sim/soak_check.h"

#include "sim/virtual_instrument.h"
#include "update/update_observer.h"
#include "sim/vsb_writer.h"

#include <cstring>

namespace {

bool KnownFailureText(const std::string& text) {
    static const char* const fixed[] = {
        "File Open Error",
        "Error - Header lengrh is too short.",
        "Error - Illegal header string.",
        "Filesize Error(shorter than header paramter).",
        "Transmit Error",
        "Transmit Error(Time Out)",
        "Rx-Midi Setup Error",
        "Recieve Error",
        "Recieve Error(Timeout)",
        "Rx Msg Error(0:Not Exclusive)",
        "Rx Msg Error(1:Not MAVO ID)",
        "Rx Msg Error(2:VUP ID Error)",
        "Rx Msg Error(Product ID Error)",
        "Rx Msg Error(Msg Code Error)",
        "Protocol code error(need newer tool).",
        "Error - Packet size is out of range.",
        "Error - Packet size is not correct.",
        "Error - Block data size is 0.",
        "Target version is newer.",
        "User aborted.",
        "File Read Error",
    };
    for (const char* f : fixed) {
        if (text == f) {
            return true;
        }
    }
    const std::string status = "Rx Status Error : ";
    if (text.compare(0, status.size(), status) == 0) {
        for (int s = 1; s <= 12; s++) {
            if (text.substr(status.size()) == SoakStatusText(s)) {
                return true;
            }
        }
        return false;
    }
    const std::string extended = "Rx Status Error(Exp) : 0x";
    if (text.compare(0, extended.size(), extended) == 0 && text.size() >= extended.size() + 2) {
        const char hi = text[extended.size()];
        const char lo = text[extended.size() + 1];
        return hi >= '4' && hi <= '7' && std::strchr("0123456789ABCDEF", lo) != nullptr;
    }
    return false;
}

struct Checker {
    const Scenario& s;
    const Prediction& p;
    const Outcome& o;
    std::vector<std::string> violations;

    void Breach(const std::string& what) {
        violations.push_back(what);
    }

    void Run() {
        CheckEnd();
        CheckLeftovers();
        CheckLog();
        CheckStop();
        const bool aborting = s.stop == STOP_ABORT;
        const bool exact = CheckAgainstModel();
        if (VirtualInstrumentForeignByteCount() != 0) {
            Breach(SoakFormat("the instrument got %d bytes outside any message",
                              VirtualInstrumentForeignByteCount()));
        }
        CheckFlash(o.result == 1, exact && !aborting);
        CheckBar();
    }

    // The run ended in time, and told its end once, last of all.
    void CheckEnd() {
        if (o.hung) {
            Breach(SoakFormat("ran longer than its bound (%lld ms)", (long long)o.durationMs));
        }
        if (o.finishedPosts != 1 || !o.lastPostIsFinish || (o.result != 0 && o.result != 1)) {
            Breach(SoakFormat("the end was posted %d times (last value %lld)%s", o.finishedPosts,
                              (long long)o.result,
                              o.lastPostIsFinish ? "" : ", not as the last command"));
        }
    }

    void CheckLeftovers() {
        if (!o.idle || !o.released) {
            Breach("the update thread was left behind (state not idle or handle kept)");
        }
        if (o.threadsAfter != o.threadsBefore) {
            Breach(SoakFormat("threads before the run %d, after it %d", o.threadsBefore,
                              o.threadsAfter));
        }
        if (o.filesAfter != o.filesBefore) {
            Breach(SoakFormat("open files before the run %d, after it %d", o.filesBefore,
                              o.filesAfter));
        }
    }

    void CheckLog() {
        const bool success = o.result == 1;
        if (success != o.logCompleted) {
            Breach(success ? "success without \"Update Completed!\" in the log"
                           : "\"Update Completed!\" in the log of a failed run");
        }
        if (o.endText != (success ? "Update Completed!" : o.status)) {
            Breach("the end was told as \"" + o.endText + "\", the status row reads \"" + o.status +
                   "\"");
        }
        if (!success) {
            if (!KnownFailureText(o.status)) {
                Breach("failure text the updater cannot produce: \"" + o.status + "\"");
            }
            if (!o.logHasStatus) {
                Breach("the log lacks the failure text \"" + o.status + "\"");
            }
        }
    }

    void CheckStop() {
        const bool userAborted = o.result != 1 && o.status == "User aborted.";
        if (o.paused && o.packetsWhilePaused > 1) {
            // Only the packet on its way when the dialog opened may still be answered.
            Breach(SoakFormat("%d packets acknowledged while the Stop dialog held the update",
                              o.packetsWhilePaused));
        }
        if (userAborted && s.stop != STOP_ABORT) {
            Breach("\"User aborted.\" without an abort");
        }
        if (o.endResult == UPDATE_RESULT_ABORTED && s.stop != STOP_ABORT) {
            Breach("the end was told as aborted without an abort");
        }
    }

    // The run against what the model says it must come to; true when it came to exactly
    // that (an abort that took is not).
    bool CheckAgainstModel() {
        const bool aborting = s.stop == STOP_ABORT;
        const bool success = o.result == 1;
        const bool userAborted = !success && o.status == "User aborted.";
        const std::string predicted = p.success ? "success" : "\"" + p.text + "\"";
        const std::string actual = success ? "success" : "\"" + o.status + "\"";
        const bool asPredicted = success ? p.success : (!p.success && o.status == p.text);
        if (!asPredicted && !(aborting && userAborted)) {
            Breach("ended with " + actual + ", predicted " + predicted);
        }
        const bool exact = asPredicted && !(aborting && userAborted);
        if (exact && !aborting) {
            if (o.messages != p.messages) {
                Breach(SoakFormat("the instrument got %d messages, predicted %d", o.messages,
                                  p.messages));
            }
            if (o.sends != p.sends) {
                Breach(SoakFormat("%d sends, predicted %d", o.sends, p.sends));
            }
        } else if (o.messages > p.messages || o.sends > p.sends) {
            Breach(
                SoakFormat("%d messages in %d sends, more than the %d in %d of the run unstopped",
                           o.messages, o.sends, p.messages, p.sends));
        }
        return exact;
    }

    // The flash holds exactly the packets the instrument acknowledged, each where its
    // block puts it, and nothing else.
    void CheckFlash(bool success, bool exact) {
        const VirtualInstrumentConfig& vi = s.instrument;
        uint64_t inBlocks = 0;
        uint64_t packets = 0;
        for (size_t i = 0; i < s.blocks.size(); i++) {
            CheckBlockFlash(i, success, exact, &inBlocks, &packets);
        }
        const uint32_t everywhere = VirtualInstrumentFlashWrittenCount(vi.flashBase, vi.flashSize);
        if (everywhere != inBlocks) {
            Breach(SoakFormat("%u bytes written outside the blocks",
                              (unsigned)(everywhere - inBlocks)));
        }
        if (packets != (uint64_t)VirtualInstrumentPacketCount()) {
            Breach(SoakFormat("%llu packets in flash, the instrument acknowledged %d",
                              (unsigned long long)packets, VirtualInstrumentPacketCount()));
        }
    }

    // Block i's part of the flash; adds its bytes written to *inBlocks and its whole
    // packets to *packets.
    void CheckBlockFlash(size_t i, bool success, bool exact, uint64_t* inBlocks,
                         uint64_t* packets) {
        const uint32_t packetSize = p.packetSize;
        const VsbBlock& b = s.blocks[i];
        const uint32_t start = b.address + b.offset;
        const uint32_t written = VirtualInstrumentFlashWrittenCount(start, b.dataSize);
        *inBlocks += written;
        if (written == 0) {
            if (exact && p.packetsWritten[i] != 0) {
                Breach(SoakFormat("block %d: nothing written, predicted %u packets", b.blockCode,
                                  p.packetsWritten[i]));
            }
            if (success && p.toSend[i]) {
                Breach(SoakFormat("block %d missing from flash after success", b.blockCode));
            }
            return;
        }
        if (packetSize == 0) {
            Breach(SoakFormat("block %d: %u bytes written, the run unstopped sends no packet",
                              b.blockCode, written));
            return;
        }
        if (written % packetSize != 0) {
            Breach(
                SoakFormat("block %d: %u bytes written, not whole packets", b.blockCode, written));
            return;
        }
        *packets += written / packetSize;
        CheckBlockBytes(i, written);
        if (success && written != b.dataSize) {
            Breach(SoakFormat("block %d: %u of %u bytes written after success", b.blockCode,
                              written, b.dataSize));
        }
        if (exact && written / packetSize != p.packetsWritten[i]) {
            Breach(SoakFormat("block %d: %u packets written, predicted %u", b.blockCode,
                              written / packetSize, p.packetsWritten[i]));
        }
        if (!exact && written / packetSize > p.packetsWritten[i]) {
            Breach(SoakFormat("block %d: %u packets written, the run unstopped writes %u",
                              b.blockCode, written / packetSize, p.packetsWritten[i]));
        }
    }

    // The written bytes of block i are its first ones, as the file has them, and the block
    // was one to send.
    void CheckBlockBytes(size_t i, uint32_t written) {
        const VsbBlock& b = s.blocks[i];
        const uint32_t start = b.address + b.offset;
        if (VirtualInstrumentFlashWrittenCount(start, written) != written) {
            Breach(
                SoakFormat("block %d: written bytes are not its first %u", b.blockCode, written));
        }
        std::vector<unsigned char> flash(written);
        VirtualInstrumentFlashRead(start, flash.data(), written);
        if (std::memcmp(flash.data(), s.data[i].data(), written) != 0) {
            Breach(SoakFormat("block %d: flash differs from the file", b.blockCode));
        }
        if (!p.toSend[i]) {
            Breach(SoakFormat("block %d written though it was current", b.blockCode));
        }
    }

    // The bar covers the file and never goes back.
    void CheckBar() {
        const int64_t length =
            (int64_t)VsbFileLength(s.blocks.data(), (int)s.blocks.size(), s.surplus);
        if (o.barRange != length) {
            Breach(SoakFormat("progress range %lld, the file has %lld bytes", (long long)o.barRange,
                              (long long)length));
        }
        for (size_t i = 0; i < o.bar.size(); i++) {
            if (o.bar[i] < 0 || o.bar[i] > length || (i > 0 && o.bar[i] < o.bar[i - 1])) {
                Breach(SoakFormat("progress went to %lld after %lld (file %lld)",
                                  (long long)o.bar[i], (long long)(i > 0 ? o.bar[i - 1] : 0),
                                  (long long)length));
                break;
            }
        }
    }
};

} // namespace

std::vector<std::string> SoakCheck(const Scenario& s, const Prediction& p, const Outcome& o) {
    Checker checker{s, p, o, {}};
    checker.Run();
    return checker.violations;
}
