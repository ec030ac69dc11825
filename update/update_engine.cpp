#include "update/update_engine.h"

#include "logview/log_view.h"
#include "platform/platform_file.h"
#include "platform/platform_memory.h"
#include "sysfile/system_file.h"
#include "update/transport.h"
#include "update/update_messages.h"

#include <cstring>

// The pause the instrument is given after the set-mode reply and after each
// acknowledged packet (not over USB bulk).
#define INSTRUMENT_PAUSE_MS 20
// How often a paused run looks whether the Stop dialog let it go on.
#define PAUSE_POLL_MS 2
// Over MIDI a packet carries at most this many bytes, whatever size the instrument
// announces.
#define MIDI_PACKET_SIZE_MAX 1024

namespace {

// Per block, from its set mode on.
struct BlockTransfer {
    int rawMode;
    bool twoPhase;
    uint32_t packetNumber;
    uint32_t packetsLeft;
    int64_t totalSent;
    uint32_t maxDone; // highest writing step reported
    bool firstWritingStatus;
};

// Working data of one run. Lives here rather than on the update thread's stack so the
// thread's stack stays small; only one run exists at a time.
struct UpdateRun {
    PlatformFile file;
    int64_t fileLength;
    int64_t progress;
    bool blockStarted;
    SystemFileHeader header;
    BlockTransfer block;
    unsigned char reply[REPLY_BUFFER_SIZE];
    char errorText[TEXT_SIZE];
    char line[TEXT_SIZE];
};

UpdateRun s_run;

void SetProgressRange(int64_t length) {
    const UpdateObserver& o = g_updateEngine.observer;
    if (o.progressRange != nullptr) {
        o.progressRange(o.context, length);
    }
}

void SetProgressPosition(int64_t position) {
    const UpdateObserver& o = g_updateEngine.observer;
    if (o.progressPosition != nullptr) {
        o.progressPosition(o.context, position);
    }
}

void PostTransferActive(int active) {
    const UpdateObserver& o = g_updateEngine.observer;
    if (o.transferActive != nullptr) {
        o.transferActive(o.context, active);
    }
}

void TellBlockDone(int sent) {
    const UpdateObserver& o = g_updateEngine.observer;
    if (o.blockDone != nullptr) {
        o.blockDone(o.context, &s_run.header, sent);
    }
}

void TellFinished(int result, const char* text) {
    const UpdateObserver& o = g_updateEngine.observer;
    if (o.finished != nullptr) {
        o.finished(o.context, result, text);
    }
}

// Failure end of the run.
int FailRun(const char* text) {
    UpdateRun& r = s_run;
    if (text != r.errorText) {
        TextCopy(r.errorText, sizeof r.errorText, text);
    }
    PlatformFileClose(&r.file);
    LogWrite(LOG_NEWLINE_BEFORE, r.errorText);
    InfoClearStatus();
    InfoPutStatus(0, 0, r.errorText, INFO_KEEP_ROW);
    return 0;
}

// The instrument's next message into the run's reply; 0 with the error text set.
int ReceiveRunReply(void) {
    return ReceiveReply(s_run.reply, s_run.errorText, TIMEOUT_TICKS_LONG);
}

// One request and its reply; ExchangeMessage's result, the error text set on 0.
int Exchange(int length, int timeoutTicks, int expectedCode) {
    UpdateRun& r = s_run;
    return ExchangeMessage(g_updateEngine.messageBuffer, length, r.reply, &r.header, expectedCode,
                           r.errorText, timeoutTicks);
}

// The Stop dialog's pause holds the thread here; 0 when it ended in an abort.
int WaitWhilePaused(void) {
    UpdateEngine& e = g_updateEngine;
    while (e.updateState.load() == UPDATE_PAUSED) {
        PlatformSleep(PAUSE_POLL_MS);
    }
    return e.updateState.load() != UPDATE_ABORT;
}

void ShowPercentStatus(const char* withLog, const char* withoutLog, int64_t part, int64_t whole,
                       int clearRow) {
    UpdateRun& r = s_run;
    if (ShowLog) {
        int percent = whole > 0 ? (int)(part * 100 / whole) : 0;
        TextFormat(r.line, sizeof r.line, withLog, percent);
        InfoPutStatus(0, 0, r.line, clearRow);
    } else if (withoutLog != nullptr) {
        InfoPutStatus(0, 0, withoutLog, clearRow);
    }
}

// Opens the file and sets the bar up for it. 0 when the file cannot be opened (the run
// then ends without a status row).
int OpenUpdateFile(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    r.errorText[0] = '\0';
    r.file = PlatformFileOpenRead(e.fileName);
    if (r.file == PLATFORM_FILE_NONE) {
        TextCopy(r.errorText, sizeof r.errorText, "File Open Error");
        LogClear();
        LogWrite(LOG_SAME_ROW, r.errorText);
        return 0;
    }
    LogWrite(LOG_SAME_ROW, e.fileName);
    r.fileLength = PlatformFileLength(r.file);
    SetProgressRange(r.fileLength);
    SetProgressPosition(0);
    r.progress = 0;
    r.blockStarted = false;
    return 1;
}

// Block start: name the block and count its header.
void StartBlock(void) {
    UpdateRun& r = s_run;
    const SystemFileHeader& h = r.header;
    TextFormat(r.line, sizeof r.line, "DeviceName : %s", h.deviceName);
    LogWrite(LOG_NEWLINE_BEFORE, r.line);
    TextFormat(r.line, sizeof r.line, "FILE : Type=%s , Version=%d.%02d", h.blockName,
               h.versionMajor, h.versionMinor);
    LogWrite(LOG_NEWLINE_BEFORE, r.line);
    r.progress += BLOCK_HEADER_SIZE;
    SetProgressPosition(r.progress);
}

// Reply of the inquiry, from position pos: protocol code, packet size and DeviceFlags.
// Returns 1 or 0 with the error text set.
int TakeInquiryReply(int pos) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    InquiryValues answer;
    const int decoded = DecodeInquiryReply(r.reply, pos, &answer, r.errorText);
    e.protocolCode = answer.protocolCode;
    if (!decoded) {
        return 0;
    }
    e.packetSize = answer.packetSize;
    if (e.deviceType == DEVICE_TYPE_MIDI && e.packetSize > MIDI_PACKET_SIZE_MAX) {
        e.packetSize = MIDI_PACKET_SIZE_MAX;
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
    e.deviceFlags = answer.deviceFlags;
    return 1;
}

// Inquiry of a block. Returns 1 or 0 with the error text set.
int InquireBlock(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    int pos =
        Exchange(BuildInquiry(e.messageBuffer, &r.header), TIMEOUT_TICKS_REPLY, MSG_INQUIRY_REPLY);
    if (pos == REPLY_ID_ADOPTED) {
        // The instrument answered with another product id and the device check is
        // skipped: ask once more in the instrument's own id.
        pos = Exchange(BuildInquiry(e.messageBuffer, &r.header), TIMEOUT_TICKS_REPLY,
                       MSG_INQUIRY_REPLY);
    }
    return pos > 0 && TakeInquiryReply(pos);
}

// Version check. Returns 1 with *newer set when the file's block is newer than the
// instrument's (always, with the check skipped), or 0 with the error text set.
int CheckVersion(bool* newer) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    const SystemFileHeader& h = r.header;
    *newer = true;
    if (e.skipVersionCheck) {
        LogWrite(LOG_NEWLINE_BEFORE, "Target Version : Skip check.");
        return 1;
    }
    int pos = Exchange(BuildVersionRequest(e.messageBuffer, &r.header), TIMEOUT_TICKS_REPLY,
                       MSG_VERSION_REPLY);
    if (pos <= 0) {
        return 0;
    }
    const unsigned char major = r.reply[pos];
    const unsigned char minor = r.reply[pos + 1];
    TextFormat(r.line, sizeof r.line, "Target Version : %d.%02d", major, minor);
    LogWrite(LOG_NEWLINE_BEFORE, r.line);
    *newer = !VersionAtLeast(major, minor, h.versionMajor, h.versionMinor);
    return 1;
}

// The instrument has the block already: step over its data. 0 when the run ends here,
// for the last block with nothing sent in this run.
int SkipBlock(void) {
    UpdateRun& r = s_run;
    const SystemFileHeader& h = r.header;
    TextCopy(r.errorText, sizeof r.errorText, "Target version is newer.");
    if (h.isLastBlock && !r.blockStarted) {
        return FailRun(r.errorText);
    }
    LogWrite(LOG_NEWLINE_BEFORE, "Target version is newer.");
    LogWrite(LOG_NEWLINE_BEFORE, "Skip this block.");
    PlatformFileSeek(r.file, PlatformFilePosition(r.file) + (int64_t)h.dataSize);
    r.progress += h.dataSize;
    SetProgressPosition(r.progress);
    TellBlockDone(0);
    return 1;
}

int BuildSetMode(unsigned char* out, const SystemFileHeader* header, int rawMode) {
    int n = BuildMessageHeader(out, header, MSG_SET_MODE);
    out[n++] = rawMode ? 1 : 0;
    out[n++] = header->blockCode;
    if (g_updateEngine.protocolCode == PROTOCOL_CODE_28BIT) {
        Encode28Bit(header->address, out + n);
        n += 4;
        Encode28Bit(header->dataSize, out + n);
        n += 4;
    }
    out[n++] = (unsigned char)(header->versionMajor | 0x40);
    out[n++] = header->versionMinor;
    if (g_updateEngine.protocolCode == PROTOCOL_CODE_28BIT) {
        Encode28Bit(g_updateEngine.packetSize, out + n);
        n += 4;
    }
    out[n++] = SYSEX_END;
    return n;
}

// Set mode: announce the block and learn whether the instrument writes it in two
// phases. Returns 1, or 0 with the run failed.
int SetMode(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    BlockTransfer& b = r.block;
    r.blockStarted = true;
    if (r.header.dataSize == 0) {
        // An empty block has no packet; sending one would read the next block's header.
        return FailRun("Error - Block data size is 0.");
    }
    b.rawMode = (e.deviceFlags & DEVICE_FLAG_RAW) && e.deviceType != DEVICE_TYPE_MIDI;
    int length = BuildSetMode(e.messageBuffer, &r.header, b.rawMode);
    if (!TransmitMessage(e.messageBuffer, length, r.errorText, SEND_MODE_PACKETS) ||
        !ReceiveRunReply()) {
        return FailRun(r.errorText);
    }
    LogWrite(LOG_NEWLINE_BEFORE, "Tx Set Mode...");
    PlatformSleep(INSTRUMENT_PAUSE_MS);
    int pos = ValidateReply(r.reply, &r.header, MSG_STATUS, r.errorText, nullptr);
    if (pos <= 0) {
        return FailRun(r.errorText);
    }
    const unsigned char modeFlags = r.reply[pos + 1];
    b.twoPhase = modeFlags != SYSEX_END && (modeFlags & MODE_FLAG_TWO_PHASE);
    return 1;
}

// The block's packets are about to go out: reset its counts and say so.
void StartTransfer(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    BlockTransfer& b = r.block;
    b.totalSent = 0;
    b.maxDone = 0;
    b.firstWritingStatus = true;
    InfoPutStatus(0, 0, "Now Updating...", INFO_CLEAR_ROW);
    LogWrite(LOG_NEWLINE_BEFORE, "");
    PostTransferActive(TRANSFER_STARTED);
    b.packetNumber = r.header.offset / e.packetSize;
    b.packetsLeft = r.header.dataSize / e.packetSize;
}

// The packet's data into the data buffer. Returns 1 or 0 with the error text set.
int ReadPacket(void) {
    UpdateRun& r = s_run;
    const uint32_t size = g_updateEngine.packetSize;
    if (PlatformFileRead(r.file, g_updateEngine.dataBuffer, size) != (int)size) {
        // Cannot happen to a file the reader checked and nobody else may open; refuse to
        // send stale buffer contents if it does.
        TextCopy(r.errorText, sizeof r.errorText, "File Read Error");
        return 0;
    }
    return 1;
}

// 1 when the instrument takes fills and every byte of the packet is the same.
bool IsFillPacket(void) {
    UpdateEngine& e = g_updateEngine;
    const unsigned char* data = e.dataBuffer;
    if (!(e.deviceFlags & DEVICE_FLAG_FILL)) {
        return false;
    }
    for (uint32_t i = 1; i < e.packetSize; i++) {
        if (data[i] != data[0]) {
            return false;
        }
    }
    return true;
}

// The message header and the packet number; returns their length.
int BuildPacketHeader(unsigned char* out, unsigned char code) {
    int n = BuildMessageHeader(out, &s_run.header, code);
    if (g_updateEngine.protocolCode == PROTOCOL_CODE_28BIT) {
        Encode28Bit(s_run.block.packetNumber, out + n);
        return n + 4;
    }
    Encode14Bit(s_run.block.packetNumber, out + n);
    return n + 2;
}

int SendFillPacket(void) {
    UpdateEngine& e = g_updateEngine;
    unsigned char* msg = e.messageBuffer;
    const unsigned char fill = e.dataBuffer[0];
    int n = BuildPacketHeader(msg, MSG_FILL);
    msg[n++] = (unsigned char)(fill >> 4);
    msg[n++] = (unsigned char)(fill & 0x0F);
    msg[n++] = SYSEX_END;
    return TransmitMessage(msg, n, s_run.errorText, SEND_MODE_PACKETS);
}

// The packet's data as raw bytes or packed 7 bits to a byte, at out; returns their
// length and sets *checksum.
int AppendPacketData(unsigned char* out, unsigned char* checksum) {
    UpdateEngine& e = g_updateEngine;
    const unsigned char* data = e.dataBuffer;
    const uint32_t size = e.packetSize;
    if (!s_run.block.rawMode) {
        return Pack7Bit(data, out, (int)size, checksum);
    }
    std::memcpy(out, data, size);
    unsigned int sum = 0;
    for (uint32_t i = 0; i < size; i++) {
        sum += data[i];
    }
    *checksum = (unsigned char)(sum & 0xFF);
    return (int)size;
}

int SendDataPacket(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    unsigned char* msg = e.messageBuffer;
    const int headerEnd = BuildPacketHeader(msg, MSG_DATA);
    unsigned char checksum;
    const int dataEnd = headerEnd + AppendPacketData(msg + headerEnd, &checksum);
    int n = dataEnd;
    msg[n++] = checksum;
    msg[n++] = SYSEX_END;

    int sent;
    const int dataMode = r.block.rawMode ? SEND_MODE_RAW : SEND_MODE_PACKETS;
    if (e.deviceType == DEVICE_TYPE_USB_BULK) {
        // The USB bulk device takes a data packet in three transfers.
        sent = TransmitMessage(msg, headerEnd, r.errorText, SEND_MODE_PACKETS) &&
               TransmitMessage(msg + headerEnd, dataEnd - headerEnd, r.errorText, dataMode) &&
               TransmitMessage(msg + dataEnd, n - dataEnd, r.errorText, SEND_MODE_PACKETS);
    } else {
        sent = TransmitMessage(msg, n, r.errorText, dataMode);
    }
    // Old bytes behind a short acknowledgement must not be read as its extended text.
    std::memset(r.reply, 0, sizeof r.reply);
    return sent;
}

// Packet: one packet of the block from the file to the instrument. Returns 1 or 0 with
// the error text set.
int SendPacket(void) {
    if (!ReadPacket()) {
        return 0;
    }
    return IsFillPacket() ? SendFillPacket() : SendDataPacket();
}

// A MSG_WRITE_PROGRESS reply: move the bar across the block's second half and show how
// far the instrument has written.
void ShowWriteProgress(uint32_t progress) {
    UpdateRun& r = s_run;
    BlockTransfer& b = r.block;
    const uint32_t done = progress >> 16;
    const uint32_t total = progress & 0xFFFF;
    if (total == 0) {
        return;
    }
    if (done > b.maxDone) {
        SetProgressPosition(r.progress + (int64_t)(r.header.dataSize / 2) * done / total);
        b.maxDone = done;
    }
    ShowPercentStatus("Now Updating...(Writing %d%%)", "Now Updating...(Writing)", done, total,
                      b.firstWritingStatus ? INFO_CLEAR_ROW : INFO_KEEP_ROW);
    b.firstWritingStatus = false;
}

// Acknowledgement: wait for the instrument's status, showing the write progress it
// reports before it. Returns 1, or 0 with the run failed.
int ReceiveAcknowledgement(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    if (e.updateState.load() == UPDATE_ABORT) {
        return FailRun(USER_ABORTED_TEXT);
    }
    if (!ReceiveRunReply()) {
        return FailRun(r.errorText);
    }
    TextFormat(r.line, sizeof r.line, "Tx Packet:%3d (Address: %06X)", (int)r.block.packetNumber,
               (unsigned)(r.block.packetNumber * e.packetSize + r.header.address));
    LogWrite(LOG_SAME_ROW, r.line);
    for (;;) {
        uint32_t progress = 0;
        int pos = ValidateReply(r.reply, &r.header, MSG_STATUS, r.errorText, &progress);
        if (pos > 0) {
            return 1;
        }
        if (pos != REPLY_WRITE_PROGRESS) {
            // 0: a bad reply. REPLY_ID_ADOPTED: another product id while a packet's acknowledgement
            // was awaited; the instrument changed under us, which is no acknowledgement.
            return FailRun(r.errorText);
        }
        ShowWriteProgress(progress);
        if (!ReceiveRunReply()) {
            return FailRun(r.errorText);
        }
    }
}

// After the acknowledgement: count the packet on the bar and in the status row.
void CountAcknowledgedPacket(void) {
    UpdateEngine& e = g_updateEngine;
    UpdateRun& r = s_run;
    BlockTransfer& b = r.block;
    const int64_t dataSize = r.header.dataSize;
    b.totalSent += e.packetSize;
    if (!b.twoPhase) {
        r.progress += e.packetSize;
        ShowPercentStatus("Now Updating...(%d%%)", "Now Updating...", b.totalSent, dataSize,
                          INFO_KEEP_ROW);
    } else {
        r.progress += e.packetSize / 2;
        if (b.maxDone == 0) {
            ShowPercentStatus("Now Updating...(Transmitting %d%%)", "Now Updating...(Transmitting)",
                              b.totalSent, dataSize, INFO_KEEP_ROW);
        } else {
            if (ShowLog) {
                InfoPutStatus(0, 0, "Now Updating...(Writing 100%)", INFO_KEEP_ROW);
            }
            r.progress += dataSize / 2;
        }
    }
    SetProgressPosition(r.progress);
}

// The Stop dialog's pause and abort, then the instrument's pause before the next packet.
// Returns 1, or 0 with the run failed.
int PauseBetweenPackets(void) {
    if (!WaitWhilePaused()) {
        return FailRun(USER_ABORTED_TEXT);
    }
    if (g_updateEngine.deviceType != DEVICE_TYPE_USB_BULK) {
        PlatformSleep(INSTRUMENT_PAUSE_MS);
    }
    return 1;
}

// Set mode and every packet of the current block. Returns 1 or 0 (run already failed).
int SendBlock(void) {
    BlockTransfer& b = s_run.block;
    if (!SetMode()) {
        return 0;
    }
    StartTransfer();
    // A stop given while set mode was acknowledged holds back the first packet as it
    // holds back every later one.
    if (!WaitWhilePaused()) {
        return FailRun(USER_ABORTED_TEXT);
    }
    for (; b.packetsLeft > 0; b.packetNumber++, b.packetsLeft--) {
        if (!SendPacket()) {
            return FailRun(s_run.errorText);
        }
        if (!ReceiveAcknowledgement()) {
            return 0;
        }
        CountAcknowledgedPacket();
        if (b.packetsLeft == 1) {
            // Written whole: a stop at the pause after it leaves the block complete.
            TellBlockDone(1);
        }
        if (!PauseBetweenPackets()) {
            return 0;
        }
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

void StartUpdate(const UpdateObserver* observer, const char* fileName, int deviceType,
                 int skipVersionCheck, int skipDeviceCheck) {
    UpdateEngine& e = g_updateEngine;
    // A previous thread that has not made its last store yet would mark this run idle.
    UpdateEndThread();
    e.observer = observer != nullptr ? *observer : UpdateObserver{};
    TextCopy(e.fileName, sizeof e.fileName, fileName);
    e.deviceType = deviceType;
    e.skipVersionCheck = skipVersionCheck;
    e.skipDeviceCheck = skipDeviceCheck;
    e.updateState.store(UPDATE_RUNNING);
    e.thread = PlatformThreadStart(UpdateThreadProc, PLATFORM_THREAD_TIME_CRITICAL);
    if (e.thread == PLATFORM_THREAD_NONE) {
        // Without a thread nothing would ever end the update: report it as a failed run
        // so the window does not wait forever.
        e.updateState.store(UPDATE_IDLE);
        TellFinished(UPDATE_RESULT_FAILED, "The update could not be started.");
    }
}

void UpdateThreadProc(void) {
    UpdateEngine& e = g_updateEngine;
    int result = RunUpdate();
    // A run the user aborted may still have ended on another failure that came first;
    // either way it ended because it was asked to.
    if (!result && e.updateState.load() == UPDATE_ABORT) {
        result = UPDATE_RESULT_ABORTED;
    }
    TellFinished(result, result == UPDATE_RESULT_COMPLETED ? "Update Completed!" : s_run.errorText);
    e.updateState.store(UPDATE_IDLE);
}

namespace {

int RunUpdateBlocks(void) {
    UpdateRun& r = s_run;
    if (!OpenUpdateFile()) {
        return 0;
    }
    if (!ReadBlockHeader(r.file, &r.header, r.errorText)) {
        return FailRun(r.errorText);
    }
    for (;;) {
        StartBlock();
        bool newer;
        if (!InquireBlock() || !CheckVersion(&newer)) {
            return FailRun(r.errorText);
        }
        if (!(newer ? SendBlock() : SkipBlock())) {
            return 0;
        }
        // Block end.
        PostTransferActive(TRANSFER_ENDED);
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
