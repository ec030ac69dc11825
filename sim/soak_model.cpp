// The model of a soak run. It takes nothing from the engine or the instrument but their
// constants, so a fault in either shows as a run that ends otherwise than predicted.
#include "sim/soak_model.h"

#include "sysfile/system_file.h"
#include "update/device_type.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <cstring>
#include <deque>

namespace {

int IdLength(const Id& id) {
    if (id.bytes[1] == PRODUCT_ID_ABSENT) {
        return 1;
    }
    return id.bytes[2] == PRODUCT_ID_ABSENT ? 2 : 3;
}

enum PieceKind {
    PIECE_GARBAGE,
    PIECE_INQUIRY_REPLY,
    PIECE_VERSION_REPLY,
    PIECE_STATUS,
    PIECE_PROGRESS
};

struct Piece {
    PieceKind kind;
    Id id;
    int status;
    std::string text; // extended status
    bool late;
    bool wrongCode;
};

enum MessageKind { MESSAGE_INQUIRY, MESSAGE_VERSION, MESSAGE_SET_MODE, MESSAGE_PACKET };

class Model {
  public:
    explicit Model(const Scenario& s) : s_(s), c_(s.instrument) {}

    Prediction Run() {
        p_ = Prediction();
        p_.success = false;
        p_.packetsWritten.assign(s_.blocks.size(), 0);
        p_.toSend.assign(s_.blocks.size(), false);
        p_.packetSize = 0;
        p_.faultReached = false;
        p_.estimateMs = 0;
        if (Walk()) {
            p_.success = true;
        }
        p_.messages = messages_;
        p_.sends = sends_;
        p_.packets = packetMessages_;
        return p_;
    }

  private:
    const Scenario& s_;
    const VirtualInstrumentConfig& c_;
    Prediction p_;
    int messages_ = 0;
    int sends_ = 0;
    int packetMessages_ = 0;
    bool silent_ = false;
    Id workingId_ = {{0, 0, 0}};
    unsigned char workingMember_ = 0xFF;

    bool Fail(const std::string& text) {
        p_.text = text;
        return false;
    }

    Id ActiveId(int index) const {
        if (c_.fault == VI_FAULT_OTHER_PRODUCT && index >= c_.faultAt) {
            return SoakIdOf(c_.otherProductId);
        }
        return SoakIdOf(c_.productId);
    }

    bool FaultAtMessage(int index, VirtualFault fault) const {
        return c_.fault == fault && index == c_.faultAt;
    }

    // One send call of the updater; false when the double makes it fail.
    bool Send() {
        int index = sends_++;
        if (index != s_.transport.failSendAt) {
            return true;
        }
        p_.faultReached = true;
        switch (s_.transport.failSendResult) {
        case 0:
            return Fail("Transmit Error");
        case -1:
            return Fail("Transmit Error(Time Out)");
        default:
            return Fail("Rx-Midi Setup Error");
        }
    }

    Piece MakePiece(PieceKind kind, int index) const {
        Piece piece;
        piece.kind = kind;
        piece.id = ActiveId(index);
        piece.status = 0;
        piece.late = false;
        piece.wrongCode = false;
        return piece;
    }

    Piece Status(int index, int status) const {
        Piece piece = MakePiece(PIECE_STATUS, index);
        piece.status = status;
        return piece;
    }

    // What the instrument answers to one complete message, in order.
    std::deque<Piece> Instrument(MessageKind kind, int block, uint32_t packetNumber,
                                 uint32_t packetSize, bool lastPacket) {
        std::deque<Piece> pieces;
        const int index = messages_++;
        if (FaultAtMessage(index, VI_FAULT_GARBAGE_BEFORE)) {
            pieces.push_back(MakePiece(PIECE_GARBAGE, index));
            p_.faultReached = true;
        }
        if (FaultAtMessage(index, VI_FAULT_REFUSE_MESSAGE)) {
            p_.faultReached = true;
            pieces.push_back(Status(index, c_.faultStatus));
            return pieces;
        }
        const size_t firstReply = pieces.size();
        Dispatch(&pieces, kind, index, block, packetNumber, packetSize, lastPacket);
        if (c_.faultAt == index) {
            if (c_.fault == VI_FAULT_NO_REPLY) {
                p_.faultReached = true;
                pieces.resize(firstReply);
            } else if (c_.fault == VI_FAULT_DELAY) {
                p_.faultReached = true;
                if (c_.faultDelayMs > kShortDelayMaxMs) {
                    for (size_t i = firstReply; i < pieces.size(); i++) {
                        pieces[i].late = true;
                    }
                }
            } else if (c_.fault == VI_FAULT_WRONG_CODE && pieces.size() > firstReply) {
                p_.faultReached = true;
                pieces[firstReply].wrongCode = true;
            }
        }
        return pieces;
    }

    void Dispatch(std::deque<Piece>* pieces, MessageKind kind, int index, int block,
                  uint32_t packetNumber, uint32_t packetSize, bool lastPacket) {
        int packetIndex = -1;
        if (kind == MESSAGE_PACKET) {
            packetIndex = packetMessages_++;
            if (c_.fault == VI_FAULT_SILENT_FROM_PACKET && packetIndex >= c_.faultAt) {
                silent_ = true;
                p_.faultReached = true;
            }
        }
        if (silent_) {
            return;
        }
        if (c_.fault == VI_FAULT_OTHER_PRODUCT && index >= c_.faultAt) {
            p_.faultReached = true;
        }
        const Id active = ActiveId(index);
        if (!SoakSameId(workingId_, active)) {
            // Another product: refused (a message too short for the instrument's id
            // length is refused as malformed; the updater reads both the same way).
            pieces->push_back(Status(index, 1));
            return;
        }
        switch (kind) {
        case MESSAGE_INQUIRY:
            if (workingMember_ < MEMBER_ID_ABSENT_FROM && c_.memberId < MEMBER_ID_ABSENT_FROM &&
                workingMember_ != c_.memberId) {
                pieces->push_back(Status(index, 2));
            } else {
                pieces->push_back(MakePiece(PIECE_INQUIRY_REPLY, index));
            }
            return;
        case MESSAGE_VERSION:
            pieces->push_back(MakePiece(PIECE_VERSION_REPLY, index));
            return;
        case MESSAGE_SET_MODE:
            pieces->push_back(Status(index, 0));
            return;
        case MESSAGE_PACKET:
            break;
        }
        WritePacket(pieces, index, packetIndex, block, packetNumber, packetSize, lastPacket);
    }

    // A data or fill packet the instrument takes: a status fault, a refusal outside the
    // flash, or the write with its progress (which may stall for good).
    void WritePacket(std::deque<Piece>* pieces, int index, int packetIndex, int block,
                     uint32_t packetNumber, uint32_t packetSize, bool lastPacket) {
        if (packetIndex == c_.faultAt &&
            (c_.fault == VI_FAULT_STATUS || c_.fault == VI_FAULT_EXTENDED_STATUS)) {
            p_.faultReached = true;
            Piece piece = Status(index, c_.faultStatus);
            if (c_.fault == VI_FAULT_EXTENDED_STATUS) {
                piece.text = c_.faultText;
            }
            pieces->push_back(piece);
            return;
        }
        const VsbBlock& b = s_.blocks[(size_t)block];
        const uint64_t address = (uint64_t)b.address + (uint64_t)packetNumber * packetSize;
        if (address < c_.flashBase ||
            address + packetSize > (uint64_t)c_.flashBase + c_.flashSize) {
            pieces->push_back(Status(index, 8));
            return;
        }
        const bool sizeKnown = c_.protocolCode != 0 || c_.blockDataSize[b.blockCode] != 0;
        const bool completes = sizeKnown && lastPacket;
        if (completes && c_.writeSteps > 0 && c_.fault == VI_FAULT_WRITE_STALLS) {
            p_.faultReached = true;
            for (int step = 1; step <= c_.faultAt && step < c_.writeSteps; step++) {
                pieces->push_back(MakePiece(PIECE_PROGRESS, index));
            }
            silent_ = true;
            return;
        }
        p_.packetsWritten[(size_t)block]++;
        if (completes && c_.writeSteps > 0) {
            if (c_.sendZeroTotalProgress) {
                pieces->push_back(MakePiece(PIECE_PROGRESS, index));
            }
            for (int step = 1; step <= c_.writeSteps; step++) {
                pieces->push_back(MakePiece(PIECE_PROGRESS, index));
            }
        }
        pieces->push_back(Status(index, 0));
    }

    // The time a wait that sees nothing lasts on the run's transport.
    int64_t EmptyWaitMs(int timeoutTicks) const {
        // Per transport, by device type: serial (its own time-out, counted elsewhere),
        // MIDI (the caller's ticks), USB bulk (until the abort), kernel MIDI.
        const int64_t kFixedWaitMs[] = {0, -1, kUsbWaitLimitMs, kKernelTimeoutMs};
        const int64_t fixed = kFixedWaitMs[s_.deviceType];
        return fixed >= 0 ? fixed : (int64_t)timeoutTicks * kMidiTickUs / 1000;
    }

    // One receive of the updater from the pieces on the line: 1 with *out, or 0 with the
    // failure's text.
    int Receive(std::deque<Piece>* line, int timeoutTicks, Piece* out) {
        const int type = s_.deviceType;
        while (!line->empty() && line->front().kind == PIECE_GARBAGE) {
            if (type == DEVICE_TYPE_USB_BULK) {
                return Fail("Rx Msg Error(0:Not Exclusive)");
            }
            if (type != DEVICE_TYPE_SERIAL && type != DEVICE_TYPE_MIDI) {
                return Fail("Recieve Error");
            }
            line->pop_front(); // a line of whole messages drops what is none
        }
        const bool timesOut = type == DEVICE_TYPE_SERIAL || type == DEVICE_TYPE_MIDI;
        if (line->empty() || (line->front().late && type != DEVICE_TYPE_USB_BULK)) {
            if (line->empty()) {
                p_.estimateMs += EmptyWaitMs(timeoutTicks);
            } else {
                p_.estimateMs +=
                    type == DEVICE_TYPE_SERIAL ? kSerialTimeoutMs : EmptyWaitMs(timeoutTicks);
            }
            return Fail(timesOut ? "Recieve Error(Timeout)" : "Recieve Error");
        }
        if (line->front().late) {
            p_.estimateMs += kUsbLateDelayMs;
        }
        *out = line->front();
        line->pop_front();
        return 1;
    }

    enum { VALID = 1, INVALID = 0, PROGRESS = -1, ADOPTED = -2 };

    // The updater's check of a reply.
    int Validate(const Piece& reply, PieceKind expected) {
        if (!SoakSameId(reply.id, workingId_)) {
            p_.text = "Rx Msg Error(Product ID Error)";
            if (!s_.skipDeviceCheck) {
                return INVALID;
            }
            workingId_ = reply.id;
            // The member id follows a product id refusal when the instrument has one.
            workingMember_ = reply.kind == PIECE_STATUS && reply.status == 1 &&
                                     c_.memberId < MEMBER_ID_ABSENT_FROM
                                 ? c_.memberId
                                 : 0xFF;
            return ADOPTED;
        }
        if (reply.kind == PIECE_PROGRESS && expected == PIECE_STATUS && !reply.wrongCode) {
            return PROGRESS;
        }
        if (reply.wrongCode || (reply.kind != expected && reply.kind != PIECE_STATUS)) {
            p_.text = "Rx Msg Error(Msg Code Error)";
            return INVALID;
        }
        if (reply.kind == PIECE_STATUS) {
            if (reply.status == 0) {
                return VALID;
            }
            if (reply.status < STATUS_EXTENDED_FROM) {
                p_.text = std::string("Rx Status Error : ") + SoakStatusText(reply.status);
                return INVALID;
            }
            std::string text = reply.text;
            if (s_.deviceType == DEVICE_TYPE_USB_BULK) {
                // One read of the pipe: whatever of the text lies beyond it is not seen.
                const size_t room = 16 - (5 + (size_t)IdLength(reply.id));
                if (text.size() > room) {
                    text.resize(room);
                }
            }
            p_.text = SoakFormat("Rx Status Error(Exp) : 0x%X", reply.status) + text;
            return INVALID;
        }
        return VALID;
    }

    // A request and its reply; VALID, INVALID or ADOPTED.
    int Exchange(MessageKind kind, int block, PieceKind expected, int timeoutTicks) {
        if (!Send()) {
            return INVALID;
        }
        std::deque<Piece> line = Instrument(kind, block, 0, 0, false);
        Piece reply;
        if (!Receive(&line, timeoutTicks, &reply)) {
            return INVALID;
        }
        return Validate(reply, expected);
    }

    // The inquiry, asked once more when the updater took over the id that answered.
    bool Identify(const VsbBlock& b, int block) {
        workingId_ = SoakIdOf(b.productId);
        workingMember_ = b.memberId;
        int result = Exchange(MESSAGE_INQUIRY, block, PIECE_INQUIRY_REPLY, TIMEOUT_TICKS_REPLY);
        if (result == ADOPTED) {
            result = Exchange(MESSAGE_INQUIRY, block, PIECE_INQUIRY_REPLY, TIMEOUT_TICKS_REPLY);
        }
        return result == VALID;
    }

    // The packet size the updater takes from the inquiry reply, and its fit to the block.
    bool PacketSizeFor(const VsbBlock& b, uint32_t* packetSize) {
        if (c_.protocolCode >= 2) {
            return Fail("Protocol code error(need newer tool).");
        }
        uint32_t size =
            c_.protocolCode == 0 ? (c_.packetSize & 0x3FFF) : (c_.packetSize & 0x0FFFFFFF);
        if (s_.deviceType == DEVICE_TYPE_MIDI && size > 1024) {
            size = 1024;
        }
        if (size == 0 || size > UPDATE_DATA_BUFFER_SIZE) {
            return Fail("Error - Packet size is out of range.");
        }
        if (b.offset % size != 0 || b.dataSize % size != 0) {
            return Fail("Error - Packet size is not correct.");
        }
        *packetSize = size;
        return true;
    }

    // The version inquiry, unless skipped: *current when the instrument holds the block's
    // version or a newer one.
    bool CheckVersion(const VsbBlock& b, int block, bool* current) {
        *current = false;
        if (s_.skipVersionCheck) {
            return true;
        }
        if (Exchange(MESSAGE_VERSION, block, PIECE_VERSION_REPLY, TIMEOUT_TICKS_REPLY) != VALID) {
            return false;
        }
        const int held = c_.versionMajor[b.blockCode] * 256 + c_.versionMinor[b.blockCode];
        *current = held >= b.versionMajor * 256 + b.versionMinor;
        return true;
    }

    bool SetMode(int block) {
        if (!Send()) {
            return false;
        }
        std::deque<Piece> line = Instrument(MESSAGE_SET_MODE, block, 0, 0, false);
        Piece reply;
        if (!Receive(&line, TIMEOUT_TICKS_LONG, &reply)) {
            return false;
        }
        p_.estimateMs += 20;
        return Validate(reply, PIECE_STATUS) == VALID;
    }

    // Packet k of block i, as a data or a fill packet, and its replies up to the status.
    bool SendPacket(size_t i, uint32_t k, uint32_t number, uint32_t packetSize, bool lastPacket) {
        const std::vector<unsigned char>& data = s_.data[i];
        const int flags = c_.deviceFlags & 0x7F;
        bool fill = (flags & DEVICE_FLAG_FILL) != 0;
        for (uint32_t j = 1; fill && j < packetSize; j++) {
            fill = data[k * packetSize + j] == data[k * packetSize];
        }
        const int pieces = s_.deviceType == DEVICE_TYPE_USB_BULK && !fill ? 3 : 1;
        for (int piece = 0; piece < pieces; piece++) {
            if (!Send()) {
                return false;
            }
        }
        std::deque<Piece> line = Instrument(MESSAGE_PACKET, (int)i, number, packetSize, lastPacket);
        for (;;) {
            Piece reply;
            if (!Receive(&line, TIMEOUT_TICKS_LONG, &reply)) {
                return false;
            }
            const int result = Validate(reply, PIECE_STATUS);
            if (result == VALID) {
                break;
            }
            if (result != PROGRESS) {
                return false;
            }
        }
        if (s_.deviceType != DEVICE_TYPE_USB_BULK) {
            p_.estimateMs += 20;
        }
        return true;
    }

    // Block i from its header to its last packet; false when the run ends in it.
    bool WalkBlock(size_t i, bool* blockStarted) {
        const VsbBlock& b = s_.blocks[i];
        const bool last = i + 1 == s_.blocks.size();
        if (b.badMagic) {
            return Fail("Error - Illegal header string.");
        }
        if (last && b.missingDataBytes > 0) {
            return Fail("Filesize Error(shorter than header paramter).");
        }
        const bool isLastBlock = last && s_.surplus == 0;
        uint32_t packetSize = 0;
        bool current = false;
        if (!Identify(b, (int)i) || !PacketSizeFor(b, &packetSize) ||
            !CheckVersion(b, (int)i, &current)) {
            return false;
        }
        if (current) {
            if (isLastBlock && !*blockStarted) {
                return Fail("Target version is newer.");
            }
            return true;
        }
        *blockStarted = true;
        p_.toSend[i] = true;
        if (b.dataSize == 0) {
            return Fail("Error - Block data size is 0.");
        }
        if (!SetMode((int)i)) {
            return false;
        }
        p_.packetSize = packetSize;
        const uint32_t packets = b.dataSize / packetSize;
        uint32_t number = b.offset / packetSize;
        for (uint32_t k = 0; k < packets; k++, number++) {
            if (!SendPacket(i, k, number, packetSize, k + 1 == packets)) {
                return false;
            }
        }
        return true;
    }

    bool Walk() {
        bool blockStarted = false;
        for (size_t i = 0; i < s_.blocks.size(); i++) {
            if (!WalkBlock(i, &blockStarted)) {
                return false;
            }
        }
        if (s_.surplus > 0) {
            return Fail(s_.surplus < BLOCK_HEADER_SIZE ? "Error - Header lengrh is too short."
                                                       : "Error - Illegal header string.");
        }
        return true;
    }
};

} // namespace

Prediction SoakPredict(const Scenario& s) {
    return Model(s).Run();
}

const char* SoakStatusText(int status) {
    static const char* const texts[] = {"",
                                        "Product ID Error",
                                        "Member ID Error",
                                        "Format Error",
                                        "Block Code Error",
                                        "Packet Number Error",
                                        "Checksum Error",
                                        "Timeout Error",
                                        "Hardware Error",
                                        "Flash Write Error",
                                        "User Aborted",
                                        "Version Error"};
    return status >= 1 && status <= 11 ? texts[status] : "Unknown Error";
}
