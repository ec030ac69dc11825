// The update protocol's messages as the tests write them, built from named parts: the
// prefix every message starts with, the product id, the message code and its payload,
// and the end byte. Everything here is written out by hand and never taken from the
// updater's own builders or constants, so that a test compares the updater with the
// protocol and not with itself.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

// The message codes, for the messages a test builds field by field (cut short, or with a
// payload no instrument would send); the builders below name them for every other use.
enum MessageCode : unsigned char {
    CODE_INQUIRY = 0x00,
    CODE_INQUIRY_REPLY = 0x01,
    CODE_VERSION_REQUEST = 0x02,
    CODE_VERSION_REPLY = 0x03,
    CODE_SET_MODE = 0x04,
    CODE_STATUS = 0x05,
    CODE_DATA = 0x06,
    CODE_FILL = 0x08,
    CODE_PORT_INQUIRY = 0x10,
    CODE_PORT_REPLY = 0x11,
    CODE_WRITE_PROGRESS = 0x13,
};

// What follows the product id, up to the end byte: the message code and its payload.
struct MessageBody {
    unsigned char code;
    std::vector<unsigned char> payload;
};

// Start of exclusive, the maker's MIDI manufacturer id, the VUP id.
inline std::vector<unsigned char> MessagePrefix() {
    return {0xF0, 0x42, 0x23};
}

const unsigned char kMessageEnd = 0xF7;

// The product id of the worked examples: one byte (0x3C FF FF in a block header).
inline std::vector<unsigned char> ExampleProductId() {
    return {0x3C};
}

inline std::vector<unsigned char>
JoinBytes(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> out;
    for (const std::vector<unsigned char>& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A message without its end byte: the prefix, the product id's bytes as sent, the code
// and the payload.
inline std::vector<unsigned char> MessageStart(const std::vector<unsigned char>& productId,
                                               const MessageBody& body) {
    return JoinBytes({MessagePrefix(), productId, {body.code}, body.payload});
}

inline std::vector<unsigned char> Message(const std::vector<unsigned char>& productId,
                                          const MessageBody& body) {
    return JoinBytes({MessageStart(productId, body), {kMessageEnd}});
}

inline std::vector<unsigned char> ExampleMessageStart(const MessageBody& body) {
    return MessageStart(ExampleProductId(), body);
}

inline std::vector<unsigned char> ExampleMessage(const MessageBody& body) {
    return Message(ExampleProductId(), body);
}

// Numbers of 14 and 28 bits: 7 bits a byte, high first.
inline std::vector<unsigned char> Number14(uint32_t n) {
    return {(unsigned char)((n >> 7) & 0x7F), (unsigned char)(n & 0x7F)};
}

inline std::vector<unsigned char> Number28(uint32_t n) {
    return {(unsigned char)((n >> 21) & 0x7F), (unsigned char)((n >> 14) & 0x7F),
            (unsigned char)((n >> 7) & 0x7F), (unsigned char)(n & 0x7F)};
}

// Packet sizes and packet numbers are 14-bit numbers under protocol code 0 and 28-bit
// numbers under protocol code 1.
inline std::vector<unsigned char> ProtocolNumber(int protocol, uint32_t n) {
    return protocol == 0 ? Number14(n) : Number28(n);
}

// Sent by the updater.

inline MessageBody Inquiry() {
    return {CODE_INQUIRY, {}};
}

inline MessageBody Inquiry(unsigned char memberId) {
    return {CODE_INQUIRY, {memberId}};
}

inline MessageBody VersionRequest(unsigned char blockCode) {
    return {CODE_VERSION_REQUEST, {blockCode}};
}

inline MessageBody SetModeProtocol0(unsigned char raw, unsigned char blockCode,
                                    unsigned char versionMajor, unsigned char versionMinor) {
    return {CODE_SET_MODE, {raw, blockCode, (unsigned char)(versionMajor | 0x40), versionMinor}};
}

inline MessageBody SetModeProtocol1(unsigned char raw, unsigned char blockCode, uint32_t address,
                                    uint32_t dataSize, unsigned char versionMajor,
                                    unsigned char versionMinor, uint32_t packetSize) {
    return {CODE_SET_MODE, JoinBytes({{raw, blockCode},
                                      Number28(address),
                                      Number28(dataSize),
                                      {(unsigned char)(versionMajor | 0x40), versionMinor},
                                      Number28(packetSize)})};
}

// dataAndChecksum: the packed (or, in raw mode, unchanged) data followed by its checksum;
// empty for the start of a packet only.
inline MessageBody DataPacket(int protocol, uint32_t number,
                              const std::vector<unsigned char>& dataAndChecksum = {}) {
    return {CODE_DATA, JoinBytes({ProtocolNumber(protocol, number), dataAndChecksum})};
}

inline MessageBody FillPacket(int protocol, uint32_t number, unsigned char fill) {
    return {CODE_FILL, JoinBytes({ProtocolNumber(protocol, number),
                                  {(unsigned char)(fill >> 4), (unsigned char)(fill & 0x0F)}})};
}

inline MessageBody PortInquiry(unsigned char port) {
    return {CODE_PORT_INQUIRY, {port}};
}

// Sent by the instrument.

inline MessageBody InquiryReply(int protocol, uint32_t packetSize, unsigned char deviceFlags) {
    return {CODE_INQUIRY_REPLY,
            JoinBytes(
                {{(unsigned char)protocol}, ProtocolNumber(protocol, packetSize), {deviceFlags}})};
}

inline MessageBody VersionReply(unsigned char major, unsigned char minor) {
    return {CODE_VERSION_REPLY, {major, minor}};
}

// Status 0 is success: the expected reply to any request and the acknowledgement of every
// data and fill packet.
inline MessageBody Status(unsigned char status) {
    return {CODE_STATUS, {status}};
}

// Success in reply to set mode, with the mode flags that follow it.
inline MessageBody StatusWithModeFlags(unsigned char modeFlags) {
    return {CODE_STATUS, {0x00, modeFlags}};
}

// A status of 0x40 or above, followed by the instrument's own text and a zero byte.
inline MessageBody ExtendedStatus(unsigned char status, const char* text) {
    MessageBody body = {CODE_STATUS, {status}};
    for (const char* c = text; *c != '\0'; c++) {
        body.payload.push_back((unsigned char)*c);
    }
    body.payload.push_back(0x00);
    return body;
}

inline MessageBody PortReply(unsigned char port) {
    return {CODE_PORT_REPLY, {port}};
}

inline MessageBody WriteProgress(uint32_t done, uint32_t total) {
    return {CODE_WRITE_PROGRESS, JoinBytes({Number14(done), Number14(total)})};
}

// The worked examples of the protocol: product id 0x3C without member id, block code 1,
// file version 1.05; the instrument speaks protocol code 0 with packets of 256 bytes and
// no device flags, and holds version 1.03.
#define EXAMPLE_BLOCK_CODE 1

inline std::vector<unsigned char> ExampleInquiry() {
    return ExampleMessage(Inquiry());
}

inline std::vector<unsigned char> ExampleInquiryReply() {
    return ExampleMessage(InquiryReply(0, 256, 0));
}

inline std::vector<unsigned char> ExampleVersionRequest() {
    return ExampleMessage(VersionRequest(EXAMPLE_BLOCK_CODE));
}

inline std::vector<unsigned char> ExampleVersionReply() {
    return ExampleMessage(VersionReply(1, 3));
}

inline std::vector<unsigned char> ExampleSetModeProtocol0() {
    return ExampleMessage(SetModeProtocol0(0, EXAMPLE_BLOCK_CODE, 1, 5));
}

// The block at address 0x4000 holding 0x800 bytes, sent in packets of 1024 bytes.
inline std::vector<unsigned char> ExampleSetModeProtocol1() {
    return ExampleMessage(SetModeProtocol1(0, EXAMPLE_BLOCK_CODE, 0x4000, 0x800, 1, 5, 1024));
}

// Also the acknowledgement of a data or fill packet.
inline std::vector<unsigned char> ExampleStatusSuccess() {
    return ExampleMessage(Status(0));
}

// Packet number 130 of a packet size of 2, data 81 02: packed 01 01 02, checksum 04.
inline std::vector<unsigned char> ExampleDataPacket() {
    return ExampleMessage(DataPacket(0, 130, {0x01, 0x01, 0x02, 0x04}));
}

inline std::vector<unsigned char> ExampleFillPacket() {
    return ExampleMessage(FillPacket(0, 5, 0xFF));
}

// Bytes 01 02 03 04: done 130, total 388.
inline std::vector<unsigned char> ExampleWriteProgress() {
    return ExampleMessage(WriteProgress(130, 388));
}
