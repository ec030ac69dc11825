#include "cli/commands.h"

#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/serial_devices.h"
#include "cli/session.h"
#include "cli/terminal.h"
#include "midi/midi_rawmidi.h"
#include "platform/text.h"
#include "sim/instrument_options.h"
#include "transports/usb_bulk.h"
#include "transports/usb_bulk_driver_libusb.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <cstring>

int CommandInfo(const std::string& file) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    int ok = ReadSystemFile(file, &blocks, errorText);
    // A file that could not be opened or gave no block has nothing to head: its error alone
    // says what happened.
    if (ok || !blocks.empty()) {
        PrintBlocks(file, blocks);
    }
    if (!ok) {
        if (!blocks.empty()) {
            TerminalError("Block %d:", (int)blocks.size() + 1);
        }
        TerminalError("%s", errorText);
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

namespace {

// Every raw MIDI port, serial device and USB update device there is now.
void ListPorts(PortsListing* listing) {
    const int count = RawMidiListPorts(nullptr, 0);
    listing->midiPorts.resize(count > 0 ? (size_t)count : 0);
    const int listed = RawMidiListPorts(listing->midiPorts.data(), count > 0 ? count : 0);
    // A card may have gone between the two looks.
    if (listed >= 0 && (size_t)listed < listing->midiPorts.size()) {
        listing->midiPorts.resize((size_t)listed);
    }
    ListSerialDevices(&listing->serialDevices);
    listing->usbFound = UsbDriverLocate(DEFAULT_VENDOR_ID, USB_VERUP_PRODUCT_ID, &listing->usbBus,
                                        &listing->usbAddress);
}

} // namespace

int CommandPorts(void) {
    PortsListing listing = {};
    ListPorts(&listing);
    JsonReportPorts(listing);
    TerminalPrint(listing.midiPorts.empty() ? "No MIDI port found." : "MIDI ports:");
    for (const RawMidiPortInfo& p : listing.midiPorts) {
        TerminalPrint("  %-12s %s%s  card %d device %d subdevice %d  %s", p.id,
                      p.canInput ? "in" : "  ", p.canOutput ? "out" : "   ", p.card, p.device,
                      p.subdevice, p.name);
    }
    TerminalPrint(listing.serialDevices.empty() ? "No serial device found." : "Serial devices:");
    for (const std::string& device : listing.serialDevices) {
        TerminalPrint("  %s", SerialDeviceLine(device).c_str());
    }
    if (listing.usbFound) {
        TerminalPrint("USB bulk: update device found (bus %d address %d)", listing.usbBus,
                      listing.usbAddress);
    } else {
        TerminalPrint("No USB bulk update device found.");
    }
    return EXIT_DONE;
}

namespace {

struct BareInquiry {
    SystemFileHeader header;
    unsigned char reply[REPLY_BUFFER_SIZE];
    char errorText[TEXT_SIZE];
    int position;
};

BareInquiry s_bare;

void BareInquiryProc(void) {
    BareInquiry& q = s_bare;
    unsigned char* message = g_updateEngine.messageBuffer;
    g_updateEngine.deviceType = SessionDeviceType();
    for (int attempt = 0; attempt < 2; attempt++) {
        q.position = ExchangeMessage(message, BuildInquiry(message, &q.header), q.reply, &q.header,
                                     MSG_INQUIRY_REPLY, q.errorText, TIMEOUT_TICKS_REPLY);
        // An instrument of another product, taken in because the device check is
        // skipped, is asked once more under its own id, as the update asks it.
        if (q.position != REPLY_ID_ADOPTED) {
            return;
        }
    }
}

int ReportBareInquiry(void) {
    BareInquiry& q = s_bare;
    if (q.position <= 0) {
        if (ReportDeviceLost()) {
            return EXIT_FAILED;
        }
        if (LastReceiveResult() != TRANSPORT_DONE) {
            TerminalError("Failed to recieve data(timeout).");
            return EXIT_NO_ANSWER;
        }
        TerminalError("%s", q.errorText);
        unsigned char other[3];
        if (ReplyOtherProductId(q.reply, &q.header, other)) {
            ReportOtherProduct(q.header, other);
        }
        return EXIT_FAILED;
    }
    InquiryValues answer;
    if (!DecodeInquiryReply(q.reply, q.position, &answer, q.errorText)) {
        TerminalError("%s", q.errorText);
        return EXIT_FAILED;
    }
    JsonReportInstrument(q.header.productId, answer);
    char product[16];
    FormatProductId(q.header, product, sizeof product);
    TerminalPrint("The instrument (product %s) answered: protocol code %d, packet size %u, "
                  "raw packets %s, fill packets %s",
                  product, answer.protocolCode, answer.packetSize,
                  answer.deviceFlags & DEVICE_FLAG_RAW ? "yes" : "no",
                  answer.deviceFlags & DEVICE_FLAG_FILL ? "yes" : "no");
    return EXIT_DONE;
}

int VersionOnDevice(const VersionArguments& arguments,
                    const std::vector<SystemFileHeader>& blocks) {
    g_updateEngine.skipDeviceCheck = arguments.skipDeviceCheck;
    if (!arguments.file.empty()) {
        std::vector<bool> needsUpdate;
        TerminalPrint("The instrument holds:");
        return InquireBlocks(blocks, &needsUpdate);
    }
    if (!RunStoppable(BareInquiryProc)) {
        return ReportAborted();
    }
    return ReportBareInquiry();
}

} // namespace

int CommandVersion(const VersionArguments& arguments) {
    std::vector<SystemFileHeader> blocks;
    char errorText[TEXT_SIZE];
    if (!arguments.file.empty()) {
        if (!ReadSystemFile(arguments.file, &blocks, errorText)) {
            TerminalError("%s", errorText);
            return EXIT_FAILED;
        }
    } else {
        SystemFileHeader& h = s_bare.header;
        memset(&h, 0, sizeof h);
        h.memberId = MEMBER_ID_ABSENT_FROM; // asked without a member id
        if (!InstrumentParseProductId(arguments.productId.c_str(), h.productId)) {
            TerminalError("orvent-update: --product-id %s: 1 to 3 hexadecimal bytes, as 3C or "
                          "3C:12",
                          arguments.productId.c_str());
            return EXIT_USAGE;
        }
        blocks.push_back(h);
    }
    int status = SessionOpen(arguments.device, blocks);
    if (status == EXIT_DONE) {
        status = VersionOnDevice(arguments, blocks);
        SessionClose();
    }
    return status;
}
