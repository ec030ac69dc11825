// The virtual instrument: plays the instrument's side of the update protocol so that the
// updater can be run end to end without hardware. It keeps a flash image, records every
// message it received, and injects faults on request. One instrument per process; all
// operations are safe to call from several threads (an internal lock guards the state).
#pragma once

#include <cstdint>

#define VI_MAX_MESSAGE 40000
#define VI_MAX_REPLY 1024
#define VI_DEFAULT_FLASH_SIZE (8u * 1024u * 1024u)

enum VirtualFault {
    VI_FAULT_NONE = 0,
    VI_FAULT_NO_REPLY,            // no reply to message number faultAt
    VI_FAULT_DELAY,               // the reply to message faultAt comes after faultDelayMs
    VI_FAULT_STATUS,              // data/fill packet number faultAt (counted from 0 in the
                                  // run) is answered with status faultStatus (1 to 0x3F)
    VI_FAULT_EXTENDED_STATUS,     // as VI_FAULT_STATUS with a status of 0x40 or above
                                  // followed by faultText and a zero byte
    VI_FAULT_OTHER_PRODUCT,       // from message faultAt on, replies carry otherProductId
    VI_FAULT_GARBAGE_BEFORE,      // garbage bytes (no 0xF0) come before the reply to
                                  // message faultAt
    VI_FAULT_WRONG_CODE,          // the reply to message faultAt has a wrong message code
    VI_FAULT_SILENT_FROM_PACKET,  // from data/fill packet faultAt on, nothing is answered
};

struct VirtualInstrumentConfig {
    unsigned char productId[3];      // as in a block header: 0xFF marks absent bytes 1, 2
    unsigned char memberId;          // 0x80 or above: the instrument checks no member id
    int protocolCode;                // 0 or 1; 2 makes the updater refuse it
    uint32_t packetSize;             // announced in the inquiry reply
    unsigned char deviceFlags;       // DEVICE_FLAG_RAW, DEVICE_FLAG_FILL
    int writeSteps;                  // 0: single phase; n > 0: two-phase writing with n
                                     // MSG_WRITE_PROGRESS replies after a block's last packet
    int sendZeroTotalProgress;       // also send one MSG_WRITE_PROGRESS with total 0 first
    unsigned char versionMajor[256]; // the version the instrument holds, per block code
    unsigned char versionMinor[256];
    uint32_t blockAddress[256];      // where each block code lives in flash (protocol 0;
                                     // protocol 1 takes the address from set mode)
    uint32_t flashBase;              // flash image covers flashBase .. flashBase + flashSize
    uint32_t flashSize;
    int replyDelayMs;                // every reply comes after this delay

    VirtualFault fault;
    int faultAt;
    int faultDelayMs;
    int faultStatus;
    char faultText[200];
    unsigned char otherProductId[3];
};

// Defaults: product id 0x3C FF FF, no member id, protocol code 0, packet size 256, no
// flags, single phase, every version 0.00, block addresses 0, flash 0 .. 8 MiB, no fault.
void VirtualInstrumentDefaultConfig(VirtualInstrumentConfig* config);

// Switches the instrument on with a configuration: flash erased to 0xFF and marked
// unwritten, records and pending replies cleared.
void VirtualInstrumentReset(const VirtualInstrumentConfig* config);

// Gives the instrument one complete message (0xF0 .. 0xF7) from the updater.
void VirtualInstrumentHandleMessage(const unsigned char* message, int length);

// Gives the instrument bytes as a byte stream delivers them (serial line): it frames
// messages itself, including raw-mode data packets whose bytes may be 0x80 or above.
void VirtualInstrumentFeed(const unsigned char* bytes, int length);

// Takes the next pending piece of output: a reply, or garbage the fault asked for.
// Returns its length (0 when nothing is pending); *delayMs receives how long after the
// request the piece is due. A piece never holds more than one message.
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
