// The virtual instrument: plays the instrument's side of the update protocol so that the
// updater can be run end to end without hardware. It keeps a flash image, records every
// message it received, and injects faults on request. One instrument per process; all
// operations are safe to call from several threads (an internal lock guards the state).
#pragma once

#include <cstdint>

#define VI_MAX_MESSAGE 40000
#define VI_MAX_REPLY 1024
#define VI_DEFAULT_FLASH_SIZE (8u * 1024u * 1024u)

// Messages are counted from 0 since the last reset, every message received; data and
// fill packets are counted from 0 among themselves.
enum VirtualFault {
    VI_FAULT_NONE = 0,
    VI_FAULT_NO_REPLY,           // message faultAt is carried out, its replies are lost
    VI_FAULT_DELAY,              // the reply to message faultAt comes after faultDelayMs
    VI_FAULT_STATUS,             // data/fill packet number faultAt (counted from 0 in the
                                 // run) is answered with status faultStatus (1 to 0x3F)
                                 // and not written
    VI_FAULT_EXTENDED_STATUS,    // as VI_FAULT_STATUS with a status of 0x40 or above
                                 // followed by faultText and a zero byte
    VI_FAULT_OTHER_PRODUCT,      // from message faultAt on, the instrument is of product
                                 // otherProductId: it replies with it and checks it
    VI_FAULT_GARBAGE_BEFORE,     // garbage bytes (no 0xF0, no 0x00) come before the reply
                                 // to message faultAt
    VI_FAULT_WRONG_CODE,         // the first reply to message faultAt has its message code
                                 // raised by 0x20
    VI_FAULT_SILENT_FROM_PACKET, // from data/fill packet faultAt on, nothing is answered
                                 // (any message)
    VI_FAULT_REFUSE_MESSAGE,     // message faultAt is not carried out but answered with
                                 // status faultStatus (1 to 0x3F)
    VI_FAULT_WRITE_STALLS,       // two-phase writing: the first block's writing stops after
                                 // faultAt of its writeSteps reports; its last packet is
                                 // never written nor acknowledged, and nothing is answered
                                 // any more
};

struct VirtualInstrumentConfig {
    unsigned char productId[3];      // as in a block header: 0xFF marks absent bytes 1, 2
    unsigned char memberId;          // 0x80 or above: the instrument checks no member id
    int protocolCode;                // 0 or 1; 2 makes the updater refuse it
    uint32_t packetSize;             // announced in the inquiry reply
    uint32_t linkPacketLimit;        // the largest packet the updater sends over the link
                                     // the instrument is reached by (1024 over MIDI); 0:
                                     // none. Protocol 0 never states the size in use, so
                                     // a fill packet that opens a block needs it
    unsigned char deviceFlags;       // DEVICE_FLAG_RAW, DEVICE_FLAG_FILL
    int writeSteps;                  // 0: single phase; n > 0: two-phase writing with n
                                     // MSG_WRITE_PROGRESS replies after a block's last packet
    int sendZeroTotalProgress;       // also send one MSG_WRITE_PROGRESS with total 0 first
    unsigned char versionMajor[256]; // the version the instrument holds, per block code
    unsigned char versionMinor[256];
    uint32_t blockAddress[256];  // where each block code lives in flash (protocol 0;
                                 // protocol 1 takes the address from set mode)
    uint32_t blockDataSize[256]; // protocol 0 announces no block size: when set, a block
                                 // is complete (and two-phase writing is reported) after
                                 // this many bytes; 0: never complete (its version stays
                                 // the old one), single phase
    uint32_t flashBase;          // flash image covers flashBase .. flashBase + flashSize
    uint32_t flashSize;
    int replyDelayMs; // every reply comes after this delay

    VirtualFault fault;
    int faultAt;
    int faultDelayMs;
    int faultStatus;
    char faultText[200];
    unsigned char otherProductId[3];
};

// Defaults: product id 0x3C FF FF, no member id, protocol code 0, packet size 256, no
// flags, single phase, every version 0.00, block addresses 0, block sizes unknown,
// flash 0 .. 8 MiB, no fault.
void VirtualInstrumentDefaultConfig(VirtualInstrumentConfig* config);

// The fault a name stands for, as serial-instrument's --fault and the stand-in winmm.dll's
// ORV_VI_FAULT spell it: "none", "no-reply", "delay", "status", "extended-status",
// "other-product", "garbage-before", "wrong-code", "silent-from-packet", "write-stalls"
// (a refused message is injected in-process only). 1 with *fault set for a known name,
// 0 with *fault untouched otherwise.
int VirtualInstrumentFaultByName(const char* name, VirtualFault* fault);

// Switches the instrument on with a configuration: flash erased to 0xFF and marked
// unwritten, records and pending replies cleared.
void VirtualInstrumentReset(const VirtualInstrumentConfig* config);

// Gives the instrument one complete message (0xF0 .. 0xF7) from the updater.
// What it answers:
// - a message of another maker or protocol: nothing;
// - another product id: status 1 (followed by its member id when it has one); a port
//   inquiry of another product: nothing;
// - port inquiry: its port byte echoed; status 3 unless it is one byte below 0x80;
// - inquiry: member id checked when both sides have one (status 2); the reply carries
//   protocolCode, packetSize (14-bit under protocol 0, else 28-bit) and deviceFlags;
// - set mode: status 0, with mode flags 0x01 when writeSteps > 0; status 3 for a raw
//   flag the instrument has no DEVICE_FLAG_RAW for, a major without bit 6, or (protocol
//   1) a packet size of 0, above packetSize, or not dividing the data size;
// - data and fill packets: status 0 after writing; 3 malformed (also fill without
//   DEVICE_FLAG_FILL, or no set mode before), 5 number not following the block's
//   previous packet, 6 checksum, 8 outside the flash window.
// Packet size in use: protocol 1 from set mode; protocol 0 the announced size, or the
// length of the block's first data packet when that is smaller (the updater caps it).
// A block is complete when the packet that ends its data size (protocol 1, or
// blockDataSize under protocol 0) is written; its version is then the one set mode
// announced. Until then, and for good when the block is left early or its size is not
// known, the instrument reports the version it held.
void VirtualInstrumentHandleMessage(const unsigned char* message, int length);

// Gives the instrument bytes as a byte stream delivers them (serial line): it frames
// messages itself, including raw-mode data packets whose bytes may be 0x80 or above.
void VirtualInstrumentFeed(const unsigned char* bytes, int length);

// The instrument got count bytes that belong to no System Exclusive message (channel,
// system common and real-time messages, stray data): it ignores them, and counts them.
void VirtualInstrumentHandleOtherBytes(int count);

// Bytes received that were no part of an update message (F0 42 23 ... F7): those above,
// whole messages of another maker or kind, and stream bytes outside any message. An
// instrument in update mode should get none.
int VirtualInstrumentForeignByteCount(void);

// Takes the next pending piece of output: a reply, or garbage the fault asked for.
// Returns its length (0 when nothing is pending; a piece longer than capacity is cut and
// its rest lost); *delayMs receives how long after the request the piece is due. A piece
// never holds more than one message.
int VirtualInstrumentTakeReply(unsigned char* out, int capacity, uint32_t* delayMs);

// Number of pieces waiting to be taken.
int VirtualInstrumentPendingReplies(void);

// Everything the instrument received, one complete message each, in order.
int VirtualInstrumentMessageCount(void);
int VirtualInstrumentMessage(int index, unsigned char* out, int capacity); // returns length

// The flash image. Bytes never written read 0xFF.
int VirtualInstrumentFlashRead(uint32_t address, unsigned char* out, uint32_t length);
// How many bytes of address .. address + length - 1 were written by packets.
uint32_t VirtualInstrumentFlashWrittenCount(uint32_t address, uint32_t length);

// Data and fill packets acknowledged with status 0 so far.
int VirtualInstrumentPacketCount(void);

// The version the instrument now holds for a block code (updated when a block's last
// packet has been written).
void VirtualInstrumentVersion(unsigned char blockCode, unsigned char* major, unsigned char* minor);
