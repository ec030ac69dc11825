#include "update/update_engine.h"

#include "logview/log_view.h"
#include "platform/platform_file.h"
#include "platform/platform_memory.h"
#include "sysfile/system_file.h"
#include "update/transport.h"
#include "update/update_messages.h"

#include <cstring>

namespace {

const char kUserAborted[] = "User aborted.";

// Working data of one run. Lives here rather than on the update thread's stack so the
// thread's stack stays small; only one run exists at a time.
struct UpdateRun {
    PlatformFile file;
    int64_t fileLength;
    int64_t progress;
    bool blockStarted;
    SystemFileHeader header;
    unsigned char reply[REPLY_BUFFER_SIZE];
    char errorText[TEXT_SIZE];
    char line[TEXT_SIZE];
};

UpdateRun g_run;

void SetProgressRange(int64_t length) {
    PlatformSendMessage(g_updateEngine.progressBar, PBM_SETRANGE32_MSG, 0, (intptr_t)length);
}

void SetProgressPosition(int64_t position) {
    PlatformSendMessage(g_updateEngine.progressBar, PBM_SETPOS_MSG, (uintptr_t)position, 0);
}

void PostTransferActive(int active) {
    PlatformPostCommand(g_updateEngine.mainWindow, CMD_TRANSFER_ACTIVE, active);
}

int FailRun(const char* text) {
    UpdateRun& r = g_run;
    if (text != r.errorText) {
        TextCopy(r.errorText, sizeof r.errorText, text);
    }
    PlatformFileClose(&r.file);
    LogWrite(LOG_NEWLINE_BEFORE, r.errorText);
    InfoClearStatus();
    InfoPutStatus(0, 0, r.errorText, INFO_KEEP_ROW);
    return 0;
}

// A receive that failed: the user's stop reads "User aborted.", anything else keeps the
// transport's own text.
int FailReceive(void) {
    if (LastReceiveResult() == TRANSPORT_STOPPED) {
        return FailRun(kUserAborted);
    }
    return FailRun(g_run.errorText);
}

// The Stop dialog's pause holds the thread here; 0 when it ended in an abort.
int WaitWhilePaused(void) {
    UpdateEngine& e = g_updateEngine;
    while (e.updateState.load() == UPDATE_PAUSED) {
        PlatformSleep(2);
    }
    return e.updateState.load() != UPDATE_ABORT;
}

int BuildSetMode(unsigned char* out, const SystemFileHeader* header, int rawMode) {
    int n = BuildMessageHeader(out, header, MSG_SET_MODE);
    out[n++] = rawMode ? 1 : 0;
    out[n++] = header->blockCode;
    if (g_updateEngine.protocolCode == 1) {
        Encode28Bit(header->address, out + n);
        n += 4;
        Encode28Bit(header->dataSize, out + n);
        n += 4;
    }
    out[n++] = (unsigned char)(header->versionMajor | 0x40);
    out[n++] = header->versionMinor;
    if (g_updateEngine.protocolCode == 1) {
        Encode28Bit(g_updateEngine.packetSize, out + n);
        n += 4;
    }
    out[n++] = SYSEX_END;
    return n;
}

int EncodePacketNumber(unsigned char* out, uint32_t packetNumber) {
    if (g_updateEngine.protocolCode == 1) {
        Encode28Bit(packetNumber, out);
        return 4;
    }
    Encode14Bit(packetNumber, out);
    return 2;
}

// One request and its reply: returns the position ValidateReply gave (above 0, or -2
// for an adopted product id), or 0 with the run's error text set.
int Exchange(const unsigned char* message, int length, int timeoutTicks, int expectedCode) {
    UpdateRun& r = g_run;
    if (!TransmitMessage(message, length, r.errorText, SEND_MODE_PACKETS)) {
        return 0;
    }
    if (!ReceiveMessage(r.reply, sizeof r.reply, r.errorText, timeoutTicks)) {
        if (LastReceiveResult() == TRANSPORT_STOPPED) {
            TextCopy(r.errorText, sizeof r.errorText, kUserAborted);
        }
        return 0;
    }
    return ValidateReply(r.reply, &r.header, expectedCode, r.errorText, nullptr);
}

// The inquiry of a block; fills the engine's protocol code, packet size and flags.
// Returns 1 or 0 with the error text set.
int InquireBlock(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = g_run;
    int length = BuildInquiry(e.messageBuffer, &r.header);
    int pos = Exchange(e.messageBuffer, length, TIMEOUT_TICKS_REPLY, MSG_INQUIRY_REPLY);
    if (pos == -2) {
        // The instrument answered with another product id and the device check is
        // skipped: ask once more in the instrument's own id.
        length = BuildInquiry(e.messageBuffer, &r.header);
        pos = Exchange(e.messageBuffer, length, TIMEOUT_TICKS_REPLY, MSG_INQUIRY_REPLY);
    }
    if (pos <= 0) {
        return 0;
    }
    e.protocolCode = r.reply[pos];
    if (e.protocolCode >= 2) {
        TextCopy(r.errorText, sizeof r.errorText, "Protocol code error(need newer tool).");
        return 0;
    }
    int flagsAt;
    if (e.protocolCode == 0) {
        e.packetSize = Decode14Bit(r.reply + pos + 1);
        flagsAt = pos + 3;
    } else {
        e.packetSize = Decode28Bit(r.reply + pos + 1);
        flagsAt = pos + 5;
    }
    if (e.deviceType == DEVICE_TYPE_MIDI && e.packetSize > 1024) {
        e.packetSize = 1024;
    }
    // A size of 0 would divide by zero below, and one above the data buffer would
    // overrun it: neither can be sent.
    if (e.packetSize == 0 || e.packetSize > UPDATE_DATA_BUFFER_SIZE) {
        TextCopy(r.errorText, sizeof r.errorText, "Error - Packet size is out of range.");
        return 0;
    }
    if (r.header.offset % e.packetSize != 0 || r.header.dataSize % e.packetSize != 0) {
        TextCopy(r.errorText, sizeof r.errorText, "Error - Packet size is not correct.");
        return 0;
    }
    e.deviceFlags = r.reply[flagsAt];
    return 1;
}

// Sends one packet of the block. Returns 1 or 0 with the error text set.
int SendPacket(uint32_t packetNumber, int rawMode) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = g_run;
    const uint32_t size = e.packetSize;
    unsigned char* data = e.dataBuffer;
    unsigned char* msg = e.messageBuffer;

    if (PlatformFileRead(r.file, data, size) != (int)size) {
        // Cannot happen to a file the reader checked and nobody else may open; refuse to
        // send stale buffer contents if it does.
        TextCopy(r.errorText, sizeof r.errorText, "File Read Error");
        return 0;
    }
    bool fill = false;
    if (e.deviceFlags & DEVICE_FLAG_FILL) {
        fill = true;
        for (uint32_t i = 1; i < size; i++) {
            if (data[i] != data[0]) {
                fill = false;
                break;
            }
        }
    }

    int n = BuildMessageHeader(msg, &r.header, fill ? MSG_FILL : MSG_DATA);
    n += EncodePacketNumber(msg + n, packetNumber);
    if (fill) {
        msg[n++] = (unsigned char)(data[0] >> 4);
        msg[n++] = (unsigned char)(data[0] & 0x0F);
        msg[n++] = SYSEX_END;
        return TransmitMessage(msg, n, r.errorText, SEND_MODE_PACKETS);
    }

    const int headerLength = n;
    unsigned char checksum;
    if (rawMode) {
        std::memcpy(msg + n, data, size);
        unsigned int sum = 0;
        for (uint32_t i = 0; i < size; i++) {
            sum += data[i];
        }
        checksum = (unsigned char)(sum & 0xFF);
        n += (int)size;
    } else {
        n += Pack7Bit(data, msg + n, (int)size, &checksum);
    }
    const int dataEnd = n;
    msg[n++] = checksum;
    msg[n++] = SYSEX_END;

    int sent;
    const int dataMode = rawMode ? SEND_MODE_RAW : SEND_MODE_PACKETS;
    if (e.deviceType == DEVICE_TYPE_USB_BULK) {
        // The USB bulk device takes a data packet in three transfers.
        sent = TransmitMessage(msg, headerLength, r.errorText, SEND_MODE_PACKETS) &&
               TransmitMessage(msg + headerLength, dataEnd - headerLength, r.errorText, dataMode) &&
               TransmitMessage(msg + dataEnd, 2, r.errorText, SEND_MODE_PACKETS);
    } else {
        sent = TransmitMessage(msg, n, r.errorText, dataMode);
    }
    // Old bytes behind a short acknowledgement must not be read as its extended text.
    std::memset(r.reply, 0, sizeof r.reply);
    return sent;
}

void ShowPercentStatus(const char* withLog, const char* withoutLog, int64_t part, int64_t whole,
                       int clearRow) {
    UpdateRun& r = g_run;
    if (ShowLog) {
        int percent = whole > 0 ? (int)(part * 100 / whole) : 0;
        TextFormat(r.line, sizeof r.line, withLog, percent);
        InfoPutStatus(0, 0, r.line, clearRow);
    } else if (withoutLog != nullptr) {
        InfoPutStatus(0, 0, withoutLog, clearRow);
    }
}

// Sends every packet of the current block. Returns 1 or 0 (run already failed).
int SendBlock(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = g_run;
    const SystemFileHeader& h = r.header;

    r.blockStarted = true;
    if (h.dataSize == 0) {
        // An empty block has no packet; sending one would read the next block's header.
        return FailRun("Error - Block data size is 0.");
    }
    const int rawMode = (e.deviceFlags & DEVICE_FLAG_RAW) && e.deviceType != DEVICE_TYPE_MIDI;
    int length = BuildSetMode(e.messageBuffer, &h, rawMode);
    if (!TransmitMessage(e.messageBuffer, length, r.errorText, SEND_MODE_PACKETS)) {
        return FailRun(r.errorText);
    }
    if (!ReceiveMessage(r.reply, sizeof r.reply, r.errorText, TIMEOUT_TICKS_LONG)) {
        return FailReceive();
    }
    LogWrite(LOG_NEWLINE_BEFORE, "Tx Set Mode...");
    PlatformSleep(20);
    int pos = ValidateReply(r.reply, &r.header, MSG_STATUS, r.errorText, nullptr);
    if (pos <= 0) {
        return FailRun(r.errorText);
    }
    const unsigned char modeFlags = r.reply[pos + 1];
    const bool twoPhase = modeFlags != SYSEX_END && (modeFlags & MODE_FLAG_TWO_PHASE);

    int64_t totalSent = 0;
    uint32_t maxDone = 0;
    bool firstWritingStatus = true;
    InfoPutStatus(0, 0, "Now Updating...", INFO_CLEAR_ROW);
    LogWrite(LOG_NEWLINE_BEFORE, "");
    PostTransferActive(1);

    uint32_t packetNumber = h.offset / e.packetSize;
    uint32_t packetsLeft = h.dataSize / e.packetSize;
    const int64_t halfBlock = h.dataSize / 2;
    // A stop given while set mode was acknowledged holds back the first packet as it
    // holds back every later one.
    if (!WaitWhilePaused()) {
        return FailRun(kUserAborted);
    }
    while (packetsLeft > 0) {
        if (!SendPacket(packetNumber, rawMode)) {
            return FailRun(r.errorText);
        }
        if (e.updateState.load() == UPDATE_ABORT) {
            return FailRun(kUserAborted);
        }
        if (!ReceiveMessage(r.reply, sizeof r.reply, r.errorText, TIMEOUT_TICKS_LONG)) {
            return FailReceive();
        }
        TextFormat(r.line, sizeof r.line, "Tx Packet:%3d (Address: %06X)", (int)packetNumber,
                   (unsigned)(packetNumber * e.packetSize + h.address));
        LogWrite(0, r.line);
        for (;;) {
            uint32_t progress = 0;
            pos = ValidateReply(r.reply, &r.header, MSG_STATUS, r.errorText, &progress);
            if (pos > 0) {
                break;
            }
            if (pos != -1) {
                // 0: a bad reply. -2: another product id while a packet's acknowledgement
                // was awaited; the instrument changed under us, which is no acknowledgement.
                return FailRun(r.errorText);
            }
            const uint32_t done = progress >> 16;
            const uint32_t total = progress & 0xFFFF;
            if (total != 0) {
                if (done > maxDone) {
                    SetProgressPosition(r.progress + halfBlock * done / total);
                    maxDone = done;
                }
                ShowPercentStatus("Now Updating...(Writing %d%%)", "Now Updating...(Writing)", done,
                                  total, firstWritingStatus ? 1 : 0);
                firstWritingStatus = false;
            }
            if (!ReceiveMessage(r.reply, sizeof r.reply, r.errorText, TIMEOUT_TICKS_LONG)) {
                return FailReceive();
            }
        }

        totalSent += e.packetSize;
        if (!twoPhase) {
            r.progress += e.packetSize;
            ShowPercentStatus("Now Updating...(%d%%)", "Now Updating...", totalSent, h.dataSize, 0);
        } else {
            r.progress += e.packetSize / 2;
            if (maxDone == 0) {
                ShowPercentStatus("Now Updating...(Transmitting %d%%)",
                                  "Now Updating...(Transmitting)", totalSent, h.dataSize, 0);
            } else {
                if (ShowLog) {
                    InfoPutStatus(0, 0, "Now Updating...(Writing 100%)", INFO_KEEP_ROW);
                }
                r.progress += halfBlock;
            }
        }
        SetProgressPosition(r.progress);

        if (!WaitWhilePaused()) {
            return FailRun(kUserAborted);
        }
        if (e.deviceType != DEVICE_TYPE_USB_BULK) {
            PlatformSleep(20);
        }
        packetNumber++;
        packetsLeft--;
    }
    return 1;
}

} // namespace

int AllocUpdateBuffers(char* errorText) {
    UpdateEngine& e = g_updateEngine;
    e.dataBuffer = static_cast<unsigned char*>(PlatformHeapAlloc(UPDATE_DATA_BUFFER_SIZE));
    if (e.dataBuffer != nullptr) {
        e.messageBuffer =
            static_cast<unsigned char*>(PlatformHeapAlloc(UPDATE_MESSAGE_BUFFER_SIZE));
    }
    if (e.dataBuffer == nullptr || e.messageBuffer == nullptr) {
        TextCopy(errorText, TEXT_SIZE, "Memoly Alloc Error");
        FreeUpdateBuffers();
        return 0;
    }
    return 1;
}

void FreeUpdateBuffers(void) {
    UpdateEngine& e = g_updateEngine;
    PlatformHeapFree(e.dataBuffer);
    PlatformHeapFree(e.messageBuffer);
    e.dataBuffer = nullptr;
    e.messageBuffer = nullptr;
}

void UpdateSetProgressBar(PlatformWindow progressBar) {
    g_updateEngine.progressBar = progressBar;
}

void UpdateEndThread(void) {
    UpdateEngine& e = g_updateEngine;
    if (e.thread == PLATFORM_THREAD_NONE) {
        return;
    }
    // The thread posts its result before its last store: once the window has seen the
    // result, that store is all that is left, so this wait is short.
    for (int waited = 0; waited < UPDATE_THREAD_END_WAIT_MS && e.updateState.load() != UPDATE_IDLE;
         waited++) {
        PlatformSleep(1);
    }
    if (e.updateState.load() == UPDATE_IDLE) {
        PlatformThreadWait(e.thread);
    }
    PlatformThreadClose(&e.thread);
}

void StartUpdate(PlatformWindow mainWindow, const char* fileName, int deviceType,
                 int skipVersionCheck, int skipDeviceCheck) {
    UpdateEngine& e = g_updateEngine;
    // A previous thread that has not made its last store yet would mark this run idle.
    UpdateEndThread();
    e.mainWindow = mainWindow;
    TextCopy(e.fileName, sizeof e.fileName, fileName);
    e.deviceType = deviceType;
    e.skipVersionCheck = skipVersionCheck;
    e.skipDeviceCheck = skipDeviceCheck;
    e.updateState.store(UPDATE_RUNNING);
    e.thread = PlatformThreadStart(UpdateThreadProc, 1);
    if (e.thread == PLATFORM_THREAD_NONE) {
        // Without a thread nothing would ever end the update: report it as a failed run
        // so the window does not wait forever.
        e.updateState.store(UPDATE_IDLE);
        PlatformPostCommand(e.mainWindow, CMD_UPDATE_FINISHED, 0);
    }
}

void UpdateThreadProc(void) {
    int result = RunUpdate();
    PlatformPostCommand(g_updateEngine.mainWindow, CMD_UPDATE_FINISHED, result);
    g_updateEngine.updateState.store(UPDATE_IDLE);
}

namespace {

int RunUpdateBlocks(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = g_run;
    r.errorText[0] = '\0';

    r.file = PlatformFileOpenRead(e.fileName);
    if (r.file == PLATFORM_FILE_NONE) {
        LogClear();
        LogWrite(0, "File Open Error");
        return 0;
    }
    LogWrite(0, e.fileName);
    r.fileLength = PlatformFileLength(r.file);
    SetProgressRange(r.fileLength);
    SetProgressPosition(0);
    r.progress = 0;
    r.blockStarted = false;

    if (!ReadBlockHeader(r.file, &r.header, r.errorText)) {
        return FailRun(r.errorText);
    }
    for (;;) {
        const SystemFileHeader& h = r.header;
        TextFormat(r.line, sizeof r.line, "DeviceName : %s", h.deviceName);
        LogWrite(LOG_NEWLINE_BEFORE, r.line);
        TextFormat(r.line, sizeof r.line, "FILE : Type=%s , Version=%d.%02d", h.blockName,
                   h.versionMajor, h.versionMinor);
        LogWrite(LOG_NEWLINE_BEFORE, r.line);
        r.progress += BLOCK_HEADER_SIZE;
        SetProgressPosition(r.progress);

        if (!InquireBlock()) {
            return FailRun(r.errorText);
        }

        bool skip = false;
        if (e.skipVersionCheck) {
            LogWrite(LOG_NEWLINE_BEFORE, "Target Version : Skip check.");
        } else {
            int length = BuildVersionRequest(e.messageBuffer, &r.header);
            int pos = Exchange(e.messageBuffer, length, TIMEOUT_TICKS_REPLY, MSG_VERSION_REPLY);
            if (pos <= 0) {
                return FailRun(r.errorText);
            }
            const unsigned char major = r.reply[pos];
            const unsigned char minor = r.reply[pos + 1];
            TextFormat(r.line, sizeof r.line, "Target Version : %d.%02d", major, minor);
            LogWrite(LOG_NEWLINE_BEFORE, r.line);
            skip = VersionAtLeast(major, minor, h.versionMajor, h.versionMinor) != 0;
        }

        if (skip) {
            TextCopy(r.errorText, sizeof r.errorText, "Target version is newer.");
            if (h.isLastBlock && !r.blockStarted) {
                return FailRun(r.errorText);
            }
            LogWrite(LOG_NEWLINE_BEFORE, "Target version is newer.");
            LogWrite(LOG_NEWLINE_BEFORE, "Skip this block.");
            int64_t next = PlatformFilePosition(r.file) + (int64_t)h.dataSize;
            PlatformFileSeek(r.file, next);
            r.progress += h.dataSize;
            SetProgressPosition(r.progress);
        } else if (!SendBlock()) {
            return 0;
        }

        PostTransferActive(0);
        if (PlatformFilePosition(r.file) == r.fileLength) {
            PlatformFileClose(&r.file);
            LogWrite(LOG_NEWLINE_BEFORE, "Update Completed!");
            return 1;
        }
        if (!ReadBlockHeader(r.file, &r.header, r.errorText)) {
            return FailRun(r.errorText);
        }
    }
}

} // namespace

int RunUpdate(void) {
    // The protocol's pauses and waits are only as long as asked with a 1 ms timer; given
    // back on every way out, success, failure or abort.
    PlatformTimerResolutionBegin();
    int result = RunUpdateBlocks();
    PlatformTimerResolutionEnd();
    return result;
}
