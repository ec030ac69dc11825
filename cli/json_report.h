// What a command did, as one JSON document on standard output (--json), for scripts: the
// file's blocks, what the instrument answered, what became of each block, the outcome and
// the exit status. The commands tell it as they go, whether it is on or not; it is written
// once, at the end, by JsonReportFinish.
#pragma once

#include "midi/midi_rawmidi.h"
#include "sysfile/system_file.h"
#include "update/update_engine.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <string>
#include <vector>

// Turns the document on for command ("info", "ports", "version", "update"); until then
// every other call but JsonPorts does nothing.
void JsonReportStart(const char* command);
int JsonReportOn(void);

// The system file and its blocks as read (the good ones before a broken one), under
// "file" and "blocks". An update's blocks end with their result, "not_sent" unless told
// otherwise.
void JsonReportFile(const std::string& file, const std::vector<SystemFileHeader>& blocks);

// What the instrument answered of block index (InquireVersion's result): the version it
// holds and how the file's compares ("needs_update", "current", "newer"); its inquiry
// reply, when read, under "instrument".
void JsonReportAnswer(size_t index, int result, const InstrumentAnswer& answer);

// What the instrument told of itself in its inquiry reply, and the id it answered in.
void JsonReportInstrument(const unsigned char* productId, const InquiryValues& values);

// What became of block index in the update: "sent", "skipped" (the instrument has it),
// "interrupted" (the run ended inside it), "not_sent".
void JsonReportBlockResult(size_t index, const char* result);

// The outcome in a word ("completed", "current", "newer", "other_product") and the
// sentence that says it (may be null). Without a word (null) the exit status names it:
// "done", "failed", "refused", "no_answer", "declined", "aborted".
void JsonReportOutcome(const char* outcome, const char* message);

// A text of the document's own under key ("went_away": the system's reason).
void JsonReportText(const char* key, const char* text);

// Every error line the program shows goes under "errors" too. Any thread.
void JsonReportError(const char* text);

// What `ports` lists.
struct PortsListing {
    std::vector<RawMidiPortInfo> midiPorts;
    std::vector<std::string> serialDevices;
    int usbFound;
    int usbBus;
    int usbAddress;
};

// The listing as `ports --json` gives it: "midi_ports", "serial_devices", "usb_update_device".
nlohmann::ordered_json JsonPorts(const PortsListing& listing);
// Puts the listing into the document.
void JsonReportPorts(const PortsListing& listing);

struct ProbeResult;

// The port inquiry's results under "probe": the product and member id asked with, and each
// port's "result" ("answered", "no_answer", "busy", "not_opened") with the inquiry's values
// where the instrument answered, or the reason.
void JsonReportProbe(const SystemFileHeader& asked, const std::vector<ProbeResult>& results);

// Writes the document, with the exit status, on standard output when it is on. Returns
// exitStatus.
int JsonReportFinish(int exitStatus);
