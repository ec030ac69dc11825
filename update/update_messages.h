// The System Exclusive style messages exchanged with the instrument:
// F0 42 23 <product id, 1-3 bytes> <code> <payload> F7.
#pragma once

#include "sysfile/system_file.h"
#include "transports/sysex.h"

#include <cstdint>

#define MSG_MAKER_ID 0x42
#define MSG_VUP_ID 0x23

// Sent by the updater.
#define MSG_INQUIRY 0x00
#define MSG_VERSION_REQUEST 0x02
#define MSG_SET_MODE 0x04
#define MSG_DATA 0x06
#define MSG_FILL 0x08
#define MSG_PORT_INQUIRY 0x10

// Sent by the instrument.
#define MSG_INQUIRY_REPLY 0x01
#define MSG_VERSION_REPLY 0x03
#define MSG_STATUS 0x05
#define MSG_PORT_REPLY 0x11
#define MSG_WRITE_PROGRESS 0x13

// Protocol codes of the inquiry reply. Under code 0 packet sizes and numbers are 14-bit
// numbers; under code 1 they are 28-bit and the set-mode message also carries the
// block's address, size and the packet size. A higher code is a newer protocol than
// this tool speaks.
#define PROTOCOL_CODE_14BIT 0
#define PROTOCOL_CODE_28BIT 1

// DeviceFlags of the inquiry reply.
#define DEVICE_FLAG_RAW 0x01
#define DEVICE_FLAG_FILL 0x02

// Mode flags after status 0 in the reply to MSG_SET_MODE.
#define MODE_FLAG_TWO_PHASE 0x01

// Status bytes from 0x40 on carry the instrument's own text.
#define STATUS_EXTENDED_FROM 0x40

// Every message the updater sends fits in a buffer of this size.
#define UPDATE_MESSAGE_BUFFER_SIZE SYSEX_MESSAGE_SIZE_MAX

// Every reply is received into, and validated from, a buffer of this size.
#define REPLY_BUFFER_SIZE 1024

// The instrument's extended status text is cut to this size (terminator included)
// before it is added to an error text.
#define EXTENDED_STATUS_TEXT_SIZE 128

// Writes F0 42 23, the header's product id and the code; returns 5, 6 or 7.
int BuildMessageHeader(unsigned char* buffer, const SystemFileHeader* header, unsigned char code);

// MSG_INQUIRY (with the member id when the header has one) and MSG_VERSION_REQUEST for
// the header's block; each returns the message's length.
int BuildInquiry(unsigned char* out, const SystemFileHeader* header);
int BuildVersionRequest(unsigned char* out, const SystemFileHeader* header);

// Two bytes, 7 bits each, high first; higher bits of value are dropped.
void Encode14Bit(uint32_t value, unsigned char* out);
uint32_t Decode14Bit(const unsigned char* in);

// Four bytes, 7 bits each, high first; higher bits of value are dropped.
void Encode28Bit(uint32_t value, unsigned char* out);
uint32_t Decode28Bit(const unsigned char* in);

// Packs count bytes into groups of a leading byte holding the bit 7s and up to seven
// 7-bit bytes. Returns the number of bytes written (count + ceil(count / 7)); stores
// the sum of all written bytes modulo 128 in checksumOut when it is not null.
int Pack7Bit(const unsigned char* data, unsigned char* out, int count, unsigned char* checksumOut);

// The text of status 1 to 0x3F ("Checksum Error", ...); textSize bytes at most.
void StatusCodeText(int status, char* text, int textSize);

// Checks a received message (reply holds REPLY_BUFFER_SIZE bytes). Returns the
// position of the first payload byte (or of the status byte for MSG_STATUS 0); 0 with
// errorText set for a bad reply; REPLY_WRITE_PROGRESS for MSG_WRITE_PROGRESS when
// progressOut is given (done * 65536 + total); REPLY_ID_ADOPTED when the product id
// differed, the device check is skipped and the instrument's id has been taken into
// header.
#define REPLY_WRITE_PROGRESS (-1)
#define REPLY_ID_ADOPTED (-2)
int ValidateReply(const unsigned char* reply, SystemFileHeader* header, int expectedCode,
                  char* errorText, uint32_t* progressOut);

// The product id of another product that reply answers in, for a reply of the update
// protocol whose id is not header's (what ValidateReply refuses with "Rx Msg Error(Product
// ID Error)"): 1 with it in productId (3 bytes, 0xFF marking absent ones); 0 otherwise.
int ReplyOtherProductId(const unsigned char* reply, const SystemFileHeader* header,
                        unsigned char* productId);

// MSG_PORT_INQUIRY for the product id (3 bytes, 0xFF marking an absent second or third):
// F0 42 23 <id> 10 <port> F7 with port 0; *portAt tells where the output port's number
// goes. Returns the message's length.
int BuildPortInquiry(unsigned char* out, const unsigned char* productId, int* portAt);

// The output port number a MSG_PORT_REPLY of length bytes names, for the product id; -1
// when the bytes are no such reply.
int ReadPortReply(const unsigned char* bytes, int length, const unsigned char* productId);

// The payload of MSG_INQUIRY_REPLY: what the instrument tells of itself.
struct InquiryValues {
    unsigned char protocolCode;
    uint32_t packetSize; // as announced, before any limit of the transport
    unsigned char deviceFlags;
};

// Decodes the inquiry reply whose payload begins at reply[position] (ValidateReply's
// result; reply holds REPLY_BUFFER_SIZE bytes). 1, or 0 with errorText set when the
// protocol code is newer than this tool speaks.
int DecodeInquiryReply(const unsigned char* reply, int position, InquiryValues* out,
                       char* errorText);
