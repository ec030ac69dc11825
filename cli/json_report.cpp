#include "cli/json_report.h"

#include "cli/commands.h"
#include "cli/probe.h"
#include "cli/serial_devices.h"
#include "platform/text.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>

using nlohmann::ordered_json;

namespace {

struct JsonReport {
    std::mutex lock;
    int on;
    ordered_json document; // what the commands told, in the order they told it
    ordered_json errors;
    std::string outcome;
    std::string message;
};

JsonReport g_jsonReport;

// "3C", "3C:12" or "00:12:34", as the text output writes a product id.
std::string ProductIdText(const unsigned char* id) {
    char text[16];
    TextFormat(text, sizeof text, "%02X", id[0]);
    for (int i = 1; i < 3 && id[i] != PRODUCT_ID_ABSENT; i++) {
        char part[8];
        TextFormat(part, sizeof part, ":%02X", id[i]);
        TextAppend(text, sizeof text, part);
    }
    return text;
}

std::string VersionText(int major, int minor) {
    char text[16];
    TextFormat(text, sizeof text, "%d.%02d", major, minor);
    return text;
}

ordered_json BlockValue(const SystemFileHeader& h) {
    ordered_json block;
    block["name"] = h.blockName;
    block["code"] = h.blockCode;
    block["device"] = h.deviceName;
    block["version"] = VersionText(h.versionMajor, h.versionMinor);
    block["product_id"] = ProductIdText(h.productId);
    if (h.memberId >= MEMBER_ID_ABSENT_FROM) {
        block["member_id"] = nullptr;
    } else {
        block["member_id"] = h.memberId;
    }
    block["address"] = h.address;
    block["offset"] = h.offset;
    block["size"] = h.dataSize;
    return block;
}

// The outcome an exit status stands for when the command named none.
const char* OutcomeOfStatus(int exitStatus) {
    switch (exitStatus) {
    case EXIT_DONE:
        return "done";
    case EXIT_USAGE:
        return "refused";
    case EXIT_NO_ANSWER:
        return "no_answer";
    case EXIT_DECLINED:
        return "declined";
    case EXIT_FAILED:
        return "failed";
    default:
        return "aborted";
    }
}

// The block at index, or null when the file gave none there.
ordered_json* BlockAt(size_t index) {
    ordered_json& blocks = g_jsonReport.document["blocks"];
    return blocks.is_array() && index < blocks.size() ? &blocks[index] : nullptr;
}

} // namespace

void JsonReportStart(const char* command) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    g_jsonReport.on = 1;
    g_jsonReport.document = ordered_json::object();
    g_jsonReport.document["command"] = command;
    g_jsonReport.errors = ordered_json::array();
}

int JsonReportOn(void) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    return g_jsonReport.on;
}

void JsonReportFile(const std::string& file, const std::vector<SystemFileHeader>& blocks) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    JsonReport& r = g_jsonReport;
    if (!r.on) {
        return;
    }
    r.document["file"] = file;
    ordered_json& list = r.document["blocks"] = ordered_json::array();
    for (const SystemFileHeader& h : blocks) {
        list.push_back(BlockValue(h));
    }
}

void JsonReportInstrument(const unsigned char* productId, const InquiryValues& values) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    if (!g_jsonReport.on) {
        return;
    }
    ordered_json instrument;
    instrument["product_id"] = ProductIdText(productId);
    instrument["protocol_code"] = values.protocolCode;
    instrument["packet_size"] = values.packetSize;
    instrument["raw_packets"] = (values.deviceFlags & DEVICE_FLAG_RAW) != 0;
    instrument["fill_packets"] = (values.deviceFlags & DEVICE_FLAG_FILL) != 0;
    g_jsonReport.document["instrument"] = instrument;
}

void JsonReportAnswer(size_t index, int result, const InstrumentAnswer& answer) {
    if (!JsonReportOn()) {
        return;
    }
    if (answer.inquiryRead && result != INQUIRE_NO_ANSWER) {
        JsonReportInstrument(answer.productId, answer.inquiry);
    }
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    ordered_json* block = BlockAt(index);
    if (block == nullptr || result == INQUIRE_NO_ANSWER) {
        return;
    }
    const std::string file = (*block)["version"].get<std::string>();
    const std::string held = VersionText(answer.versionMajor, answer.versionMinor);
    (*block)["instrument_version"] = held;
    (*block)["state"] = result == INQUIRE_UPDATE_NEEDED ? "needs_update"
                        : held == file                  ? "current"
                                                        : "newer";
}

void JsonReportBlockResult(size_t index, const char* result) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    ordered_json* block = g_jsonReport.on ? BlockAt(index) : nullptr;
    if (block != nullptr) {
        (*block)["result"] = result;
    }
}

void JsonReportOutcome(const char* outcome, const char* message) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    g_jsonReport.outcome = outcome != nullptr ? outcome : "";
    g_jsonReport.message = message != nullptr ? message : "";
}

void JsonReportText(const char* key, const char* text) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    if (g_jsonReport.on) {
        g_jsonReport.document[key] = text;
    }
}

void JsonReportError(const char* text) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    if (g_jsonReport.on) {
        g_jsonReport.errors.push_back(text);
    }
}

ordered_json JsonPorts(const PortsListing& listing) {
    ordered_json ports;
    ordered_json& midi = ports["midi_ports"] = ordered_json::array();
    for (const RawMidiPortInfo& p : listing.midiPorts) {
        midi.push_back({{"id", p.id},
                        {"name", p.name},
                        {"card", p.card},
                        {"device", p.device},
                        {"subdevice", p.subdevice},
                        {"input", p.canInput != 0},
                        {"output", p.canOutput != 0}});
    }
    ordered_json& serial = ports["serial_devices"] = ordered_json::array();
    for (const std::string& device : listing.serialDevices) {
        SerialDeviceInfo info;
        DescribeSerialDevice(device, SerialDevRoot(), SerialSysRoot(), &info);
        char usbId[16];
        TextFormat(usbId, sizeof usbId, "%04x:%04x", info.usbVendor, info.usbProduct);
        serial.push_back({{"device", device},
                          {"by_id", info.byId.empty() ? ordered_json() : ordered_json(info.byId)},
                          {"usb_id", info.usbVendor < 0 ? ordered_json() : ordered_json(usbId)}});
    }
    ordered_json usb = {{"found", listing.usbFound != 0}};
    if (listing.usbFound) {
        usb["bus"] = listing.usbBus;
        usb["address"] = listing.usbAddress;
    }
    ports["usb_update_device"] = usb;
    return ports;
}

void JsonReportPorts(const PortsListing& listing) {
    const ordered_json ports = JsonPorts(listing);
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    if (!g_jsonReport.on) {
        return;
    }
    for (auto item = ports.begin(); item != ports.end(); ++item) {
        g_jsonReport.document[item.key()] = item.value();
    }
}

void JsonReportProbe(const SystemFileHeader& asked, const std::vector<ProbeResult>& results) {
    static const char* const kResults[] = {"answered", "no_answer", "busy", "not_opened"};
    ordered_json probe;
    probe["product_id"] = ProductIdText(asked.productId);
    probe["member_id"] = BlockValue(asked)["member_id"];
    ordered_json& ports = probe["ports"] = ordered_json::array();
    for (const ProbeResult& r : results) {
        ordered_json port = {{"port", r.port},
                             {"kind", r.deviceType == DEVICE_TYPE_MIDI ? "midi" : "serial"},
                             {"result", kResults[r.state]}};
        if (r.inquiryRead) {
            port["protocol_code"] = r.inquiry.protocolCode;
            port["packet_size"] = r.inquiry.packetSize;
        }
        if (!r.reason.empty()) {
            port["reason"] = r.reason;
        }
        ports.push_back(port);
    }
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    if (g_jsonReport.on) {
        g_jsonReport.document["probe"] = probe;
    }
}

int JsonReportFinish(int exitStatus) {
    std::lock_guard<std::mutex> guard(g_jsonReport.lock);
    JsonReport& r = g_jsonReport;
    if (!r.on) {
        return exitStatus;
    }
    ordered_json& d = r.document;
    // An update's result closes each block, after what the inquiry found.
    if (d["command"] == "update" && d["blocks"].is_array()) {
        for (ordered_json& block : d["blocks"]) {
            const std::string result = block.value("result", "not_sent");
            block.erase("result");
            block["result"] = result;
        }
    }
    d["outcome"] = r.outcome.empty() ? OutcomeOfStatus(exitStatus) : r.outcome;
    if (!r.message.empty()) {
        d["message"] = r.message;
    }
    d["errors"] = r.errors;
    d["exit_status"] = exitStatus;
    // Names read from a file or a device need not be UTF-8: a byte that is not goes out as
    // U+FFFD rather than ending the program.
    const std::string text = d.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    fprintf(stdout, "%s\n", text.c_str());
    fflush(stdout);
    return exitStatus;
}
