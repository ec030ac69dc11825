// update-soak: runs many whole updates, each from a seed of its own, through the update
// engine against the virtual instrument over the in-process transports. Every run picks
// a system file, an instrument, a transport, the engine's switches, an injected fault
// and the user's stop at random; afterwards it checks what must hold whatever was
// picked, and compares the result with what a model of the exchange predicts.
//
//   update-soak [--runs N] [--seed X] [--replay SEED] [-v]
//
// One line per violation (with the run's seed), then
// "N runs: S completed, F failed as injected, A aborted, V violations, seed X".
#include "logview/log_view.h"
#include "platform/platform_thread_testing.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/sim_transport.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

PlatformWindow const kMainWindow = reinterpret_cast<PlatformWindow>(0x1000);
PlatformWindow const kProgressBar = reinterpret_cast<PlatformWindow>(0x2000);

// The waits the runs are given. A MIDI tick of 50 us makes the 300- and 5000-tick waits
// 15 ms and 250 ms; a reply of the instrument comes within 2 ms, or 8 ms when delayed on
// purpose, so every wait that should see a reply does, on the clock, however busy the
// machine is. A reply meant to be too late is due in ten minutes: no wait sees it.
const uint32_t kMidiTickUs = 50;
const uint32_t kSerialTimeoutMs = 100;
const uint32_t kUsbWaitLimitMs = 60;
const uint32_t kKernelTimeoutMs = 60;
const int kShortDelayMaxMs = 8;
const int kNeverDelayMs = 600000;
// A USB bulk read has no time-out: a late reply there is one that still comes.
const int kUsbLateDelayMs = 120;

const uint32_t kFlashSize = 512u * 1024u;

// ---- Random choices -------------------------------------------------------------------

struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) {
        return n == 0 ? 0 : (uint32_t)(Next() % n);
    }
    int Range(int lo, int hi) {
        return lo + (int)Below((uint32_t)(hi - lo + 1));
    }
    bool Chance(int percent) {
        return Below(100) < (uint32_t)percent;
    }
};

// ---- What a run is made of -------------------------------------------------------------

enum StopKind { STOP_NONE, STOP_CONTINUE, STOP_ABORT };

struct Scenario {
    uint64_t seed;
    int deviceType;
    int skipVersionCheck;
    int skipDeviceCheck;
    int showLog;
    std::vector<VsbBlock> blocks;
    std::vector<std::vector<unsigned char>> data; // each block's bytes
    uint32_t surplus;
    VirtualInstrumentConfig instrument;
    SimTransportConfig transport;
    StopKind stop;
    int stopAtMs;
    int stopHoldMs;
    std::vector<std::string> choices; // what was picked out of the ordinary, for --replay
};

const char* TransportName(int deviceType) {
    switch (deviceType) {
    case DEVICE_TYPE_SERIAL:
        return "serial";
    case DEVICE_TYPE_MIDI:
        return "MIDI";
    case DEVICE_TYPE_USB_BULK:
        return "USB bulk";
    default:
        return "kernel MIDI";
    }
}

const char* FaultName(VirtualFault fault) {
    static const char* const names[] = {"none",           "no reply",        "delay",
                                        "status",         "extended status", "other product",
                                        "garbage",        "wrong code",      "silent from packet",
                                        "refuse message", "write stalls"};
    return fault >= 0 && fault <= VI_FAULT_WRITE_STALLS ? names[fault] : "?";
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

const char* StatusText(int status) {
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

// ---- The model: what the run must come to -------------------------------------------
//
// It walks the file as the updater does and answers each message as the instrument does,
// on abstract replies, and reads them through the waiting rules of the run's transport.

struct Id {
    unsigned char bytes[3];
};

bool SameId(const Id& a, const Id& b) {
    return std::memcmp(a.bytes, b.bytes, 3) == 0;
}

Id IdOf(const unsigned char* bytes) {
    Id id;
    std::memcpy(id.bytes, bytes, 3);
    return id;
}

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

struct Prediction {
    bool success;
    std::string text;                     // the failure's text
    int messages;                         // complete messages the instrument gets
    int sends;                            // send calls, the failing one included
    std::vector<uint32_t> packetsWritten; // per block
    std::vector<bool> toSend;             // per block: not skipped as current
    uint32_t packetSize;                  // the size the packets have (0: none sent)
    int packets;                          // data and fill packets the instrument got
    int64_t estimateMs;                   // how long the run should take, roughly
    bool faultReached;
};

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
            return IdOf(c_.otherProductId);
        }
        return IdOf(c_.productId);
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
        if (!SameId(workingId_, active)) {
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
        switch (s_.deviceType) {
        case DEVICE_TYPE_SERIAL:
            return 0;
        case DEVICE_TYPE_MIDI:
            return (int64_t)timeoutTicks * kMidiTickUs / 1000;
        case DEVICE_TYPE_USB_BULK:
            return kUsbWaitLimitMs;
        default:
            return kKernelTimeoutMs;
        }
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
        if (!SameId(reply.id, workingId_)) {
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
                p_.text = std::string("Rx Status Error : ") + StatusText(reply.status);
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
            p_.text = Format("Rx Status Error(Exp) : 0x%X", reply.status) + text;
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

    bool Walk() {
        bool blockStarted = false;
        const size_t count = s_.blocks.size();
        for (size_t i = 0; i < count; i++) {
            const VsbBlock& b = s_.blocks[i];
            const bool last = i + 1 == count;
            if (b.badMagic) {
                return Fail("Error - Illegal header string.");
            }
            if (last && b.missingDataBytes > 0) {
                return Fail("Filesize Error(shorter than header paramter).");
            }
            const bool isLastBlock = last && s_.surplus == 0;
            workingId_ = IdOf(b.productId);
            workingMember_ = b.memberId;

            int result =
                Exchange(MESSAGE_INQUIRY, (int)i, PIECE_INQUIRY_REPLY, TIMEOUT_TICKS_REPLY);
            if (result == ADOPTED) {
                result =
                    Exchange(MESSAGE_INQUIRY, (int)i, PIECE_INQUIRY_REPLY, TIMEOUT_TICKS_REPLY);
            }
            if (result != VALID) {
                return false;
            }
            if (c_.protocolCode >= 2) {
                return Fail("Protocol code error(need newer tool).");
            }
            uint32_t packetSize =
                c_.protocolCode == 0 ? (c_.packetSize & 0x3FFF) : (c_.packetSize & 0x0FFFFFFF);
            if (s_.deviceType == DEVICE_TYPE_MIDI && packetSize > 1024) {
                packetSize = 1024;
            }
            if (packetSize == 0 || packetSize > UPDATE_DATA_BUFFER_SIZE) {
                return Fail("Error - Packet size is out of range.");
            }
            if (b.offset % packetSize != 0 || b.dataSize % packetSize != 0) {
                return Fail("Error - Packet size is not correct.");
            }
            const int flags = c_.deviceFlags & 0x7F;

            bool skip = false;
            if (!s_.skipVersionCheck) {
                if (Exchange(MESSAGE_VERSION, (int)i, PIECE_VERSION_REPLY, TIMEOUT_TICKS_REPLY) !=
                    VALID) {
                    return false;
                }
                const int held = c_.versionMajor[b.blockCode] * 256 + c_.versionMinor[b.blockCode];
                skip = held >= b.versionMajor * 256 + b.versionMinor;
            }
            if (skip) {
                if (isLastBlock && !blockStarted) {
                    return Fail("Target version is newer.");
                }
                continue;
            }
            blockStarted = true;
            p_.toSend[i] = true;
            if (b.dataSize == 0) {
                return Fail("Error - Block data size is 0.");
            }
            if (!Send()) {
                return false;
            }
            {
                std::deque<Piece> line = Instrument(MESSAGE_SET_MODE, (int)i, 0, 0, false);
                Piece reply;
                if (!Receive(&line, TIMEOUT_TICKS_LONG, &reply)) {
                    return false;
                }
                p_.estimateMs += 20;
                if (Validate(reply, PIECE_STATUS) != VALID) {
                    return false;
                }
            }
            p_.packetSize = packetSize;
            const std::vector<unsigned char>& data = s_.data[i];
            const uint32_t packets = b.dataSize / packetSize;
            uint32_t number = b.offset / packetSize;
            for (uint32_t k = 0; k < packets; k++, number++) {
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
                std::deque<Piece> line =
                    Instrument(MESSAGE_PACKET, (int)i, number, packetSize, k + 1 == packets);
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
            }
        }
        if (s_.surplus > 0) {
            return Fail(s_.surplus < BLOCK_HEADER_SIZE ? "Error - Header lengrh is too short."
                                                       : "Error - Illegal header string.");
        }
        return true;
    }
};

// ---- Choosing a run --------------------------------------------------------------------

Id RandomId(Rng* rng, bool adoptable) {
    Id id;
    const int form = rng->Below(100);
    if (form < 70 || (adoptable && form >= 85)) {
        id.bytes[0] = (unsigned char)rng->Range(1, 0x7F);
        id.bytes[1] = id.bytes[2] = PRODUCT_ID_ABSENT;
    } else if (form < 85) {
        id.bytes[0] = 0;
        id.bytes[1] = (unsigned char)rng->Range(0, 0x7F);
        id.bytes[2] = (unsigned char)rng->Range(0, 0x7F);
    } else {
        id.bytes[0] = (unsigned char)rng->Range(1, 0x7F);
        id.bytes[1] = (unsigned char)rng->Range(0, 0x7F);
        id.bytes[2] = PRODUCT_ID_ABSENT;
    }
    return id;
}

// Another id of the same form, so a message framed for one is framed alike for the other.
Id OtherIdOfSameForm(Rng* rng, const Id& id) {
    Id other = id;
    int at = id.bytes[0] == 0 ? 1 + (int)rng->Below(2) : 0;
    int low = at == 0 ? 1 : 0;
    do {
        other.bytes[at] = (unsigned char)rng->Range(low, 0x7F);
    } while (SameId(other, id));
    return other;
}

std::string IdText(const unsigned char* id) {
    std::string text = Format("%02X", id[0]);
    if (id[1] != PRODUCT_ID_ABSENT) {
        text += Format(":%02X", id[1]);
        if (id[2] != PRODUCT_ID_ABSENT) {
            text += Format(":%02X", id[2]);
        }
    }
    return text;
}

int PickCount(Rng* rng, const int* weights, int count) {
    int total = 0;
    for (int i = 0; i < count; i++) {
        total += weights[i];
    }
    int roll = (int)rng->Below((uint32_t)total);
    for (int i = 0; i < count; i++) {
        if (roll < weights[i]) {
            return i;
        }
        roll -= weights[i];
    }
    return count - 1;
}

std::string RandomText(Rng* rng) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string text;
    const int words = rng->Range(1, 4);
    for (int w = 0; w < words; w++) {
        if (w > 0) {
            text += ' ';
        }
        const int length = rng->Range(1, 5);
        for (int i = 0; i < length; i++) {
            text += letters[rng->Below(sizeof letters - 1)];
        }
    }
    return text;
}

void Note(Scenario* s, const std::string& text) {
    s->choices.push_back(text);
}

Scenario Choose(uint64_t seed) {
    Rng rng{seed};
    Scenario s;
    s.seed = seed;
    s.deviceType = (int)rng.Below(4);
    s.skipVersionCheck = rng.Chance(15);
    s.skipDeviceCheck = rng.Chance(25);
    s.showLog = rng.Chance(70);
    s.surplus = 0;

    SimTransportDefaultConfig(&s.transport);
    s.transport.midiTickUs = kMidiTickUs;
    s.transport.serialTimeoutMs = kSerialTimeoutMs;
    s.transport.usbWaitLimitMs = kUsbWaitLimitMs;
    s.transport.kernelTimeoutMs = kKernelTimeoutMs;

    VirtualInstrumentConfig& vi = s.instrument;
    VirtualInstrumentDefaultConfig(&vi);
    vi.flashBase = rng.Chance(50) ? 0 : 0x40000;
    vi.flashSize = kFlashSize;
    vi.replyDelayMs = rng.Range(0, 2);
    // An updater that skips the device check takes over the id of the instrument that
    // answers; only ids it can take over are given to instruments it may meet so.
    const Id instrumentId = RandomId(&rng, s.skipDeviceCheck != 0);
    std::memcpy(vi.productId, instrumentId.bytes, 3);
    vi.memberId = rng.Chance(40) ? (unsigned char)rng.Range(0, 0x7F) : 0xFF;
    vi.protocolCode = rng.Chance(50) ? 0 : 1;
    if (rng.Chance(3)) {
        vi.protocolCode = 2;
        Note(&s, "instrument speaks protocol code 2");
    }
    static const uint32_t sizes[] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096};
    static const int sizeWeights[] = {10, 15, 15, 20, 20, 10, 6, 3, 1};
    vi.packetSize = sizes[PickCount(&rng, sizeWeights, 9)];
    const int sizeKind = (int)rng.Below(100);
    bool largePackets = false;
    if (sizeKind < 8) {
        vi.packetSize = (uint32_t)rng.Range(1, 3000); // sizes no table would pick
    } else if (sizeKind < 11) {
        // Up to the updater's data buffer; 14 bits cannot announce the larger ones.
        static const uint32_t large[] = {8192, 16383, 32767, 32768};
        vi.packetSize = large[rng.Below(4)];
        if (vi.packetSize > 0x3FFF && vi.protocolCode == 0) {
            vi.protocolCode = 1;
        }
        largePackets = true;
    }
    uint32_t packetSize = vi.packetSize;
    if (s.deviceType == DEVICE_TYPE_MIDI && packetSize > 1024) {
        packetSize = 1024;
    }
    if (rng.Chance(5)) {
        static const uint32_t refused[] = {0, 16384, 65536};
        vi.packetSize = refused[rng.Below(3)];
        Note(&s, Format("packet size %u announced", vi.packetSize));
        packetSize = 256; // the file is cut for a size that works
    }
    vi.deviceFlags = (unsigned char)rng.Below(4);
    if (s.deviceType == DEVICE_TYPE_MIDI) {
        vi.linkPacketLimit = 1024;
    }
    vi.writeSteps = rng.Chance(40) ? rng.Range(1, 5) : 0;
    vi.sendZeroTotalProgress = vi.writeSteps > 0 && rng.Chance(30);

    // The file: blocks one after the other in flash, with gaps, each of whole packets.
    static const int blockWeights[] = {0, 35, 25, 15, 10, 5, 4, 3, 3};
    const int blockCount = std::min(PickCount(&rng, blockWeights, 9), largePackets ? 3 : 8);
    static const int packetWeights[] = {0, 40, 30, 15, 8, 4, 3};
    Id fileId = instrumentId;
    unsigned char fileMember = vi.memberId;
    if (vi.memberId < MEMBER_ID_ABSENT_FROM && rng.Chance(15)) {
        fileMember = 0xFF; // an instrument with a member id takes a file without one
    } else if (vi.memberId >= MEMBER_ID_ABSENT_FROM && rng.Chance(30)) {
        fileMember = (unsigned char)rng.Range(0, 0x7F); // and one without takes any
    }
    if (vi.memberId < MEMBER_ID_ABSENT_FROM && rng.Chance(3)) {
        fileMember = (unsigned char)((vi.memberId + rng.Range(1, 0x7F)) & 0x7F);
        Note(&s, "the file names another member id");
    }
    if (rng.Chance(5)) {
        // A file for another product of the same id length, so the instrument finds the
        // message code where the updater put it.
        fileId = OtherIdOfSameForm(&rng, instrumentId);
        Note(&s, "the file is for another product");
    }
    const bool allCurrent = rng.Chance(5);
    uint32_t cursor = vi.flashBase + 16u * rng.Below(64);
    // Distinct block codes; each travels as one data byte of a message, so below 0x80.
    std::vector<int> codes;
    for (int code = 0; code < 0x80; code++) {
        codes.push_back(code);
    }
    for (int i = 0; i < blockCount; i++) {
        std::swap(codes[(size_t)i], codes[(size_t)i + rng.Below((uint32_t)(0x80 - i))]);
    }
    for (int i = 0; i < blockCount; i++) {
        VsbBlock b;
        VsbBlockDefaults(&b);
        b.blockCode = (unsigned char)codes[(size_t)i];
        TextCopy(b.blockName, sizeof b.blockName, Format("BLK%d", b.blockCode).c_str());
        std::memcpy(b.productId, fileId.bytes, 3);
        b.memberId = fileMember;
        b.versionMajor = (unsigned char)rng.Range(1, 3);
        b.versionMinor = (unsigned char)rng.Range(0, 99);
        const uint32_t packets =
            std::min((uint32_t)PickCount(&rng, packetWeights, 7), largePackets ? 2u : 6u);
        b.offset = rng.Chance(50) ? 0 : packetSize * (uint32_t)rng.Range(1, 3);
        b.dataSize = packets * packetSize;
        b.address = cursor;
        cursor += b.offset + b.dataSize + 16u * rng.Below(64);
        b.content = VSB_CONTENT_RANDOM;
        b.seed = (uint32_t)rng.Next();
        // Whole packets of one value, which may go out as fill packets, and packets of one
        // value but for their first or last byte, which may not.
        for (uint32_t k = 0; k < packets && b.runCount < VSB_MAX_RUNS; k++) {
            const unsigned char value = (unsigned char)(rng.Chance(50) ? 0xFF : rng.Below(256));
            const int kind = (int)rng.Below(100);
            if (kind < 25) {
                b.runs[b.runCount++] = {k * packetSize, packetSize, value};
            } else if (kind < 35) {
                const uint32_t skipFirst = rng.Chance(50) ? 1 : 0;
                b.runs[b.runCount++] = {k * packetSize + skipFirst, packetSize - 1, value};
                if (b.runCount < VSB_MAX_RUNS) {
                    const uint32_t odd = k * packetSize + (skipFirst ? 0 : packetSize - 1);
                    b.runs[b.runCount++] = {odd, 1, (unsigned char)(value ^ 0x01)};
                }
            }
        }
        // What the instrument holds of this block: older, the same or newer.
        static const int heldWeights[] = {70, 15, 15};
        const int held = allCurrent ? 1 + (int)rng.Below(2) : PickCount(&rng, heldWeights, 3);
        int major = b.versionMajor;
        int minor = b.versionMinor;
        if (held == 0) {
            minor -= rng.Range(1, 20);
        } else if (held == 2) {
            minor += rng.Range(1, 20);
        }
        if (minor < 0) {
            major--;
            minor += 100;
        } else if (minor > 99) {
            major++;
            minor -= 100;
        }
        vi.versionMajor[b.blockCode] = (unsigned char)major;
        vi.versionMinor[b.blockCode] = (unsigned char)minor;
        // Protocol 0 tells the instrument neither address nor size: it knows them.
        vi.blockAddress[b.blockCode] = b.address;
        vi.blockDataSize[b.blockCode] = rng.Chance(80) ? b.dataSize : 0;
        s.blocks.push_back(b);
    }
    if (allCurrent) {
        Note(&s, "the instrument holds every block already");
    }

    // Refusals of the file or of its fit to the instrument.
    VsbBlock& victim = s.blocks[rng.Below((uint32_t)blockCount)];
    const int refusal = (int)rng.Below(100);
    if (refusal < 3 && packetSize >= 2) {
        if (rng.Chance(50)) {
            victim.dataSize += packetSize / 2;
        } else {
            victim.offset += packetSize / 2;
        }
        Note(&s, Format("block %d does not fit the packet size", victim.blockCode));
    } else if (refusal < 5) {
        victim.address = vi.flashBase + vi.flashSize + 0x1000;
        vi.blockAddress[victim.blockCode] = victim.address;
        Note(&s, Format("block %d lies outside the flash", victim.blockCode));
    } else if (refusal < 7) {
        victim.dataSize = 0;
        victim.runCount = 0;
        vi.blockDataSize[victim.blockCode] = 0;
        Note(&s, Format("block %d is empty", victim.blockCode));
    } else if (refusal < 9) {
        s.surplus = rng.Chance(50) ? (uint32_t)rng.Range(1, 255) : (uint32_t)rng.Range(256, 600);
        Note(&s, Format("%u surplus bytes after the last block", s.surplus));
    } else if (refusal < 10) {
        victim.badMagic = 1;
        Note(&s, Format("block %d has a bad magic", victim.blockCode));
    } else if (refusal < 11 && s.blocks.back().dataSize > 0) {
        s.blocks.back().missingDataBytes = (uint32_t)rng.Range(1, (int)s.blocks.back().dataSize);
        Note(&s, "the last block's data is cut short");
    }
    for (const VsbBlock& b : s.blocks) {
        std::vector<unsigned char> bytes(b.dataSize);
        char errorText[TEXT_SIZE] = "";
        if (b.dataSize > 0 && VsbBlockData(&b, bytes.data(), b.dataSize, errorText) != 1) {
            std::fprintf(stderr, "update-soak: block data: %s\n", errorText);
            std::exit(2);
        }
        s.data.push_back(bytes);
    }

    // A fault at a place the run reaches, mostly: the run without one tells where.
    s.stop = STOP_NONE;
    s.stopAtMs = 0;
    s.stopHoldMs = 0;
    Prediction clean = Model(s).Run();
    if (rng.Chance(65)) {
        vi.fault = (VirtualFault)rng.Range(VI_FAULT_NO_REPLY, VI_FAULT_WRITE_STALLS);
        if (vi.fault == VI_FAULT_OTHER_PRODUCT || vi.fault == VI_FAULT_SILENT_FROM_PACKET ||
            vi.fault == VI_FAULT_STATUS || vi.fault == VI_FAULT_EXTENDED_STATUS) {
            const int reach = vi.fault == VI_FAULT_OTHER_PRODUCT ? clean.messages : clean.packets;
            vi.faultAt = (int)rng.Below((uint32_t)reach + 2);
        } else if (vi.fault == VI_FAULT_WRITE_STALLS) {
            vi.faultAt = rng.Range(0, vi.writeSteps + 1);
        } else {
            vi.faultAt = (int)rng.Below((uint32_t)clean.messages + 2);
        }
        vi.faultStatus =
            vi.fault == VI_FAULT_EXTENDED_STATUS ? rng.Range(0x40, 0x7F) : rng.Range(1, 0x3F);
        TextCopy(vi.faultText, sizeof vi.faultText, RandomText(&rng).c_str());
        vi.faultDelayMs = rng.Chance(50) ? rng.Range(1, kShortDelayMaxMs)
                                         : (s.deviceType == DEVICE_TYPE_USB_BULK ? kUsbLateDelayMs
                                                                                 : kNeverDelayMs);
        vi.otherProductId[0] = vi.otherProductId[1] = vi.otherProductId[2] = PRODUCT_ID_ABSENT;
        const Id other = OtherIdOfSameForm(&rng, instrumentId);
        std::memcpy(vi.otherProductId, other.bytes, 3);
        Note(&s, Format("fault %s at %d", FaultName(vi.fault), vi.faultAt));
    }
    if (rng.Chance(10)) {
        s.transport.failSendAt = (int)rng.Below((uint32_t)clean.sends + 2);
        static const int results[] = {0, -1, -2};
        s.transport.failSendResult = results[rng.Below(3)];
        Note(&s,
             Format("send %d fails with %d", s.transport.failSendAt, s.transport.failSendResult));
    }
    if (rng.Chance(25)) {
        Prediction faulted = Model(s).Run();
        s.stop = rng.Chance(40) ? STOP_CONTINUE : STOP_ABORT;
        s.stopAtMs = (int)rng.Below((uint32_t)faulted.estimateMs + 30);
        s.stopHoldMs = rng.Chance(30) ? rng.Range(60, 150) : (int)rng.Below(30);
        Note(&s, Format("%s after %d ms (dialog open %d ms)",
                        s.stop == STOP_CONTINUE ? "stop and continue" : "stop and abort",
                        s.stopAtMs, s.stopHoldMs));
    }
    return s;
}

// ---- Running one ------------------------------------------------------------------------

struct WindowEvent {
    bool posted;
    uint32_t id;
    int64_t value;
};

std::mutex s_eventLock;
std::vector<WindowEvent> s_events;

void RecordPost(PlatformWindow, uint32_t commandId, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(s_eventLock);
    s_events.push_back({true, commandId, (int64_t)lParam});
}

intptr_t RecordSend(PlatformWindow, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(s_eventLock);
    s_events.push_back(
        {false, message, message == PBM_SETRANGE32_MSG ? (int64_t)lParam : (int64_t)wParam});
    return 0;
}

int CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (readdir(dir) != nullptr) {
        count++;
    }
    closedir(dir);
    return count;
}

struct Outcome {
    int finishedPosts;
    int64_t result; // CMD_UPDATE_FINISHED's value
    bool lastPostIsFinish;
    std::string status;
    bool logCompleted;
    bool logHasStatus;
    int messages;
    int sends;
    int64_t durationMs;
    bool hung;
    bool idle;
    bool released;
    int threadsBefore;
    int threadsAfter;
    int filesBefore;
    int filesAfter;
    bool paused;            // the stop's pause took
    int packetsWhilePaused; // acknowledged while the dialog was open
    std::vector<int64_t> bar;
    int64_t barRange;
};

bool LogHas(const char* text) {
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        if (std::strcmp(RecordedLogRow(r), text) == 0) {
            return true;
        }
    }
    return false;
}

int64_t Elapsed(Clock::time_point since) {
    return (int64_t)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since)
        .count();
}

bool Idle(void) {
    return g_updateEngine.updateState.load() == UPDATE_IDLE;
}

// Waits until the update thread is idle or the run's bound is passed; false then.
bool WaitIdle(Clock::time_point start, int64_t boundMs) {
    while (!Idle()) {
        if (Elapsed(start) > boundMs) {
            return false;
        }
        PlatformSleep(1);
    }
    return true;
}

// The Stop dialog's Abort: the pause becomes an abort, and the transport's wait is ended
// again every 20 ms until the thread has ended (a wait begun after the first would miss
// it otherwise).
bool AbortUntilIdle(Clock::time_point start, int64_t boundMs) {
    int expected = UPDATE_PAUSED;
    g_updateEngine.updateState.compare_exchange_strong(expected, UPDATE_ABORT);
    AbortReceive();
    Clock::time_point lastAbort = Clock::now();
    while (!Idle()) {
        if (Elapsed(start) > boundMs) {
            return false;
        }
        PlatformSleep(2);
        if (Elapsed(lastAbort) >= 20) {
            AbortReceive();
            lastAbort = Clock::now();
        }
    }
    return true;
}

int SendCount(void) {
    int sends = 0;
    SimTransportCall call;
    for (int i = 0; SimTransportGetCall(i, &call); i++) {
        switch (call.operation) {
        case SIM_SERIAL_SEND:
        case SIM_MIDI_SEND:
        case SIM_USB_BULK_SEND:
        case SIM_KERNEL_MIDI_SEND:
        case SIM_KERNEL_MIDI_WRITE_RAW:
            sends++;
            break;
        default:
            break;
        }
    }
    return sends;
}

Outcome Execute(const Scenario& s, const std::string& path, int64_t boundMs) {
    Outcome o = Outcome();
    {
        std::lock_guard<std::mutex> lock(s_eventLock);
        s_events.clear();
    }
    RecordReset();
    LogViewCreate(kMainWindow, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    // The view always keeps its log here so the run's rows can be read; the engine's
    // status wording follows ShowLog.
    ShowLog = s.showLog;
    VirtualInstrumentReset(&s.instrument);
    SimTransportReset(&s.transport);

    o.threadsBefore = CountEntries("/proc/self/task");
    o.filesBefore = CountEntries("/proc/self/fd");
    const Clock::time_point start = Clock::now();
    StartUpdate(kMainWindow, path.c_str(), s.deviceType, s.skipVersionCheck, s.skipDeviceCheck);

    bool ended = true;
    if (s.stop != STOP_NONE) {
        while (!Idle() && Elapsed(start) < s.stopAtMs) {
            PlatformSleep(1);
        }
        int expected = UPDATE_RUNNING;
        o.paused = g_updateEngine.updateState.compare_exchange_strong(expected, UPDATE_PAUSED);
        const int packetsAtPause = VirtualInstrumentPacketCount();
        PlatformSleep((uint32_t)s.stopHoldMs);
        o.packetsWhilePaused = VirtualInstrumentPacketCount() - packetsAtPause;
        if (s.stop == STOP_CONTINUE) {
            expected = UPDATE_PAUSED;
            g_updateEngine.updateState.compare_exchange_strong(expected, UPDATE_RUNNING);
        } else {
            ended = AbortUntilIdle(start, boundMs);
        }
    }
    ended = ended && WaitIdle(start, boundMs);
    o.durationMs = Elapsed(start);
    o.hung = !ended;
    if (o.hung) {
        // Stop it as the user would, to go on with the next run if it lets us.
        int expected = UPDATE_RUNNING;
        g_updateEngine.updateState.compare_exchange_strong(expected, UPDATE_PAUSED);
        if (!AbortUntilIdle(Clock::now(), 30000)) {
            std::printf("update-soak: run %llu: the update thread does not end; giving up\n",
                        (unsigned long long)s.seed);
            std::fflush(stdout);
            std::_Exit(1);
        }
    }
    UpdateEndThread();
    o.idle = Idle();
    o.released = g_updateEngine.thread == PLATFORM_THREAD_NONE;
    o.threadsAfter = CountEntries("/proc/self/task");
    o.filesAfter = CountEntries("/proc/self/fd");

    std::vector<WindowEvent> events;
    {
        std::lock_guard<std::mutex> lock(s_eventLock);
        events = s_events;
    }
    o.finishedPosts = 0;
    o.result = -1;
    o.barRange = -1;
    for (size_t i = 0; i < events.size(); i++) {
        const WindowEvent& e = events[i];
        if (e.posted && e.id == CMD_UPDATE_FINISHED) {
            o.finishedPosts++;
            o.result = e.value;
            o.lastPostIsFinish = true;
        } else if (e.posted) {
            o.lastPostIsFinish = false;
        } else if (e.id == PBM_SETRANGE32_MSG) {
            o.barRange = e.value;
        } else if (e.id == PBM_SETPOS_MSG) {
            o.bar.push_back(e.value);
        }
    }
    o.status = RecordedStatusRow(0);
    o.logCompleted = LogHas("Update Completed!");
    o.logHasStatus = LogHas(o.status.c_str());
    o.messages = VirtualInstrumentMessageCount();
    o.sends = SendCount();
    LogViewDestroy();
    return o;
}

// ---- Checking one -----------------------------------------------------------------------

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
            if (text.substr(status.size()) == StatusText(s)) {
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
        const bool aborting = s.stop == STOP_ABORT;
        const bool success = o.result == 1;
        const bool userAborted = !success && o.status == "User aborted.";

        if (o.hung) {
            Breach(Format("ran longer than its bound (%lld ms)", (long long)o.durationMs));
        }
        if (o.finishedPosts != 1 || !o.lastPostIsFinish || (o.result != 0 && o.result != 1)) {
            Breach(Format("the end was posted %d times (last value %lld)%s", o.finishedPosts,
                          (long long)o.result,
                          o.lastPostIsFinish ? "" : ", not as the last command"));
        }
        if (!o.idle || !o.released) {
            Breach("the update thread was left behind (state not idle or handle kept)");
        }
        if (o.threadsAfter != o.threadsBefore) {
            Breach(
                Format("threads before the run %d, after it %d", o.threadsBefore, o.threadsAfter));
        }
        if (o.filesAfter != o.filesBefore) {
            Breach(
                Format("open files before the run %d, after it %d", o.filesBefore, o.filesAfter));
        }
        if (success != o.logCompleted) {
            Breach(success ? "success without \"Update Completed!\" in the log"
                           : "\"Update Completed!\" in the log of a failed run");
        }
        if (!success) {
            if (!KnownFailureText(o.status)) {
                Breach("failure text the updater cannot produce: \"" + o.status + "\"");
            }
            if (!o.logHasStatus) {
                Breach("the log lacks the failure text \"" + o.status + "\"");
            }
        }
        if (o.paused && o.packetsWhilePaused > 1) {
            // Only the packet on its way when the dialog opened may still be answered.
            Breach(Format("%d packets acknowledged while the Stop dialog held the update",
                          o.packetsWhilePaused));
        }
        if (userAborted && !aborting) {
            Breach("\"User aborted.\" without an abort");
        }

        // The run against what the model says it must come to.
        const std::string predicted = p.success ? "success" : "\"" + p.text + "\"";
        const std::string actual = success ? "success" : "\"" + o.status + "\"";
        const bool asPredicted = success ? p.success : (!p.success && o.status == p.text);
        if (!asPredicted && !(aborting && userAborted)) {
            Breach("ended with " + actual + ", predicted " + predicted);
        }
        const bool exact = asPredicted && !(aborting && userAborted);
        if (exact && !aborting) {
            if (o.messages != p.messages) {
                Breach(
                    Format("the instrument got %d messages, predicted %d", o.messages, p.messages));
            }
            if (o.sends != p.sends) {
                Breach(Format("%d sends, predicted %d", o.sends, p.sends));
            }
        } else if (o.messages > p.messages || o.sends > p.sends) {
            Breach(Format("%d messages in %d sends, more than the %d in %d of the run unstopped",
                          o.messages, o.sends, p.messages, p.sends));
        }
        if (VirtualInstrumentForeignByteCount() != 0) {
            Breach(Format("the instrument got %d bytes outside any message",
                          VirtualInstrumentForeignByteCount()));
        }
        CheckFlash(success, exact && !aborting);
        CheckBar();
    }

    // The flash holds exactly the packets the instrument acknowledged, each where its
    // block puts it, and nothing else.
    void CheckFlash(bool success, bool exact) {
        const VirtualInstrumentConfig& vi = s.instrument;
        const uint32_t packetSize = p.packetSize;
        uint64_t inBlocks = 0;
        uint64_t packets = 0;
        for (size_t i = 0; i < s.blocks.size(); i++) {
            const VsbBlock& b = s.blocks[i];
            const uint32_t start = b.address + b.offset;
            const uint32_t written = VirtualInstrumentFlashWrittenCount(start, b.dataSize);
            inBlocks += written;
            if (written == 0) {
                if (exact && p.packetsWritten[i] != 0) {
                    Breach(Format("block %d: nothing written, predicted %u packets", b.blockCode,
                                  p.packetsWritten[i]));
                }
                if (success && p.toSend[i]) {
                    Breach(Format("block %d missing from flash after success", b.blockCode));
                }
                continue;
            }
            if (packetSize == 0) {
                Breach(Format("block %d: %u bytes written, the run unstopped sends no packet",
                              b.blockCode, written));
                continue;
            }
            if (written % packetSize != 0) {
                Breach(
                    Format("block %d: %u bytes written, not whole packets", b.blockCode, written));
                continue;
            }
            packets += written / packetSize;
            if (VirtualInstrumentFlashWrittenCount(start, written) != written) {
                Breach(
                    Format("block %d: written bytes are not its first %u", b.blockCode, written));
            }
            std::vector<unsigned char> flash(written);
            VirtualInstrumentFlashRead(start, flash.data(), written);
            if (std::memcmp(flash.data(), s.data[i].data(), written) != 0) {
                Breach(Format("block %d: flash differs from the file", b.blockCode));
            }
            if (!p.toSend[i]) {
                Breach(Format("block %d written though it was current", b.blockCode));
            }
            if (success && written != b.dataSize) {
                Breach(Format("block %d: %u of %u bytes written after success", b.blockCode,
                              written, b.dataSize));
            }
            if (exact && written / packetSize != p.packetsWritten[i]) {
                Breach(Format("block %d: %u packets written, predicted %u", b.blockCode,
                              written / packetSize, p.packetsWritten[i]));
            }
            if (!exact && written / packetSize > p.packetsWritten[i]) {
                Breach(Format("block %d: %u packets written, the run unstopped writes %u",
                              b.blockCode, written / packetSize, p.packetsWritten[i]));
            }
        }
        const uint32_t everywhere = VirtualInstrumentFlashWrittenCount(vi.flashBase, vi.flashSize);
        if (everywhere != inBlocks) {
            Breach(
                Format("%u bytes written outside the blocks", (unsigned)(everywhere - inBlocks)));
        }
        if (packets != (uint64_t)VirtualInstrumentPacketCount()) {
            Breach(Format("%llu packets in flash, the instrument acknowledged %d",
                          (unsigned long long)packets, VirtualInstrumentPacketCount()));
        }
    }

    // The bar covers the file and never goes back.
    void CheckBar() {
        const int64_t length =
            (int64_t)VsbFileLength(s.blocks.data(), (int)s.blocks.size(), s.surplus);
        if (o.barRange != length) {
            Breach(Format("progress range %lld, the file has %lld bytes", (long long)o.barRange,
                          (long long)length));
        }
        for (size_t i = 0; i < o.bar.size(); i++) {
            if (o.bar[i] < 0 || o.bar[i] > length || (i > 0 && o.bar[i] < o.bar[i - 1])) {
                Breach(Format("progress went to %lld after %lld (file %lld)", (long long)o.bar[i],
                              (long long)(i > 0 ? o.bar[i - 1] : 0), (long long)length));
                break;
            }
        }
    }
};

// ---- The tool ---------------------------------------------------------------------------

void Describe(const Scenario& s, const Prediction& p) {
    const VirtualInstrumentConfig& vi = s.instrument;
    std::printf("seed %llu\n", (unsigned long long)s.seed);
    std::printf("  transport %s, skip version check %d, skip device check %d, ShowLog %d\n",
                TransportName(s.deviceType), s.skipVersionCheck, s.skipDeviceCheck, s.showLog);
    std::printf("  instrument: product %s, member %d, protocol %d, packet size %u, flags %d, "
                "write steps %d%s, reply delay %d ms, flash %06X..%06X\n",
                IdText(vi.productId).c_str(), vi.memberId, vi.protocolCode, vi.packetSize,
                vi.deviceFlags, vi.writeSteps, vi.sendZeroTotalProgress ? " (+ total 0)" : "",
                vi.replyDelayMs, vi.flashBase, vi.flashBase + vi.flashSize);
    if (vi.fault != VI_FAULT_NONE) {
        std::printf("  fault %s at %d: status 0x%X, delay %d ms, text \"%s\", other product %s\n",
                    FaultName(vi.fault), vi.faultAt, vi.faultStatus, vi.faultDelayMs, vi.faultText,
                    IdText(vi.otherProductId).c_str());
    }
    for (size_t i = 0; i < s.blocks.size(); i++) {
        const VsbBlock& b = s.blocks[i];
        std::printf("  block %d: product %s, member %d, version %d.%02d (instrument %d.%02d), "
                    "address %06X, offset %u, size %u, known size %u, %d runs of one value\n",
                    b.blockCode, IdText(b.productId).c_str(), b.memberId, b.versionMajor,
                    b.versionMinor, vi.versionMajor[b.blockCode], vi.versionMinor[b.blockCode],
                    b.address, b.offset, b.dataSize, vi.blockDataSize[b.blockCode], b.runCount);
    }
    for (const std::string& choice : s.choices) {
        std::printf("  chosen: %s\n", choice.c_str());
    }
    std::printf("  predicted: %s, %d messages, %d sends, about %lld ms, fault %s\n",
                p.success ? "success" : ("\"" + p.text + "\"").c_str(), p.messages, p.sends,
                (long long)p.estimateMs, p.faultReached ? "reached" : "not reached");
}

int64_t BoundMs(const Prediction& p, const Scenario& s) {
    // Far above anything a busy machine makes of it: this catches hangs, not slowness.
    return 10000 + 10 * p.estimateMs + 20LL * (p.messages + 2) + s.stopHoldMs + s.stopAtMs;
}

enum RunKind { RUN_COMPLETED, RUN_FAILED, RUN_ABORTED, RUN_VIOLATION };

RunKind RunOne(uint64_t seed, const std::string& path, bool verbose, bool replay) {
    Scenario s = Choose(seed);
    Prediction p = Model(s).Run();
    if (replay) {
        Describe(s, p);
    }
    char errorText[TEXT_SIZE] = "";
    if (VsbWriteFile(path.c_str(), s.blocks.data(), (int)s.blocks.size(), s.surplus, 0x55,
                     errorText) != 1) {
        std::printf("update-soak: cannot write %s: %s\n", path.c_str(), errorText);
        std::exit(2);
    }
    Outcome o = Execute(s, path, BoundMs(p, s));
    Checker checker{s, p, o, {}};
    checker.Run();

    RunKind kind;
    if (!checker.violations.empty()) {
        kind = RUN_VIOLATION;
    } else if (o.result == 1) {
        kind = RUN_COMPLETED;
    } else if (o.status == "User aborted.") {
        kind = RUN_ABORTED;
    } else {
        kind = RUN_FAILED;
    }
    if (replay) {
        std::printf("  happened: %s, %d messages, %d sends, %d packets acknowledged, %lld ms\n",
                    o.result == 1 ? "success" : ("\"" + o.status + "\"").c_str(), o.messages,
                    o.sends, VirtualInstrumentPacketCount(), (long long)o.durationMs);
    } else if (verbose) {
        std::printf(
            "seed %llu: %s %s, %lld ms\n", (unsigned long long)seed, TransportName(s.deviceType),
            o.result == 1 ? "success" : ("\"" + o.status + "\"").c_str(), (long long)o.durationMs);
    }
    for (const std::string& v : checker.violations) {
        std::printf("violation: seed %llu: %s\n", (unsigned long long)seed, v.c_str());
    }
    std::fflush(stdout);
    return kind;
}

void NoWork(void) {}

void Usage(void) {
    std::fprintf(stderr, "Usage: update-soak [--runs N] [--seed X] [--replay SEED] [-v]\n");
    std::exit(2);
}

uint64_t ParseNumber(const char* text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (end == text || *end != 0) {
        Usage();
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t runs = 100;
    uint64_t seed =
        (uint64_t)std::chrono::system_clock::now().time_since_epoch().count() % 1000000000ull;
    bool replay = false;
    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = ParseNumber(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = ParseNumber(argv[++i]);
        } else if (std::strcmp(argv[i], "--replay") == 0 && i + 1 < argc) {
            seed = ParseNumber(argv[++i]);
            replay = true;
            runs = 1;
        } else if (std::strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else {
            Usage();
        }
    }

    char errorText[TEXT_SIZE] = "";
    if (AllocUpdateBuffers(errorText) != 1) {
        std::printf("update-soak: %s\n", errorText);
        return 2;
    }
    PlatformSetWindowHooks(RecordPost, RecordSend);
    UpdateSetProgressBar(kProgressBar);
    // A sanitizer's runtime starts a helper thread of its own with the first thread the
    // process makes; let that happen before the runs count their threads.
    PlatformThread warmUp = PlatformThreadStart(NoWork, 0);
    PlatformThreadWait(warmUp);
    PlatformThreadClose(&warmUp);
    const std::string path = Format("/tmp/update-soak-%d.vsb", (int)getpid());

    uint64_t counts[4] = {0, 0, 0, 0};
    for (uint64_t i = 0; i < runs; i++) {
        counts[RunOne(seed + i, path, verbose, replay)]++;
    }

    std::remove(path.c_str());
    PlatformSetWindowHooks(nullptr, nullptr);
    UpdateSetProgressBar(nullptr);
    FreeUpdateBuffers();
    std::printf("%llu runs: %llu completed, %llu failed as injected, %llu aborted, "
                "%llu violations, seed %llu\n",
                (unsigned long long)runs, (unsigned long long)counts[RUN_COMPLETED],
                (unsigned long long)counts[RUN_FAILED], (unsigned long long)counts[RUN_ABORTED],
                (unsigned long long)counts[RUN_VIOLATION], (unsigned long long)seed);
    return counts[RUN_VIOLATION] > 0 ? 1 : 0;
}
