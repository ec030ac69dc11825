// Finding the instrument, as the window program's automatic port detection does: the port
// inquiry goes out on every raw MIDI port and serial device, and the ports whose answer
// echoes it are the instrument's (`orvent-update ports --probe`, --midi auto, --serial auto).
#pragma once

#include "sysfile/system_file.h"
#include "update/update_messages.h"

#include <string>
#include <vector>

// The device a user gives to --midi or --serial to have it found.
#define PROBE_AUTO "auto"

// Which kinds of port a probe tries, or-ed together.
#define PROBE_MIDI 1
#define PROBE_SERIAL 2

enum {
    PROBE_ANSWERED = 0,  // the port reply came: the instrument is there
    PROBE_NO_ANSWER = 1, // silent within its time, or something else came first
    PROBE_BUSY = 2,      // another program holds the port
    PROBE_NOT_OPENED = 3 // the port would not open for another reason
};

struct ProbeResult {
    int deviceType;     // DEVICE_TYPE_MIDI or DEVICE_TYPE_SERIAL
    std::string port;   // hw:C,D,S or the device file
    int state;          // PROBE_*
    std::string reason; // a port not opened: why; an answer without inquiry values: the
                        // inquiry's failure
    int inquiryRead;    // the inquiry reply after the port reply was read into inquiry
    InquiryValues inquiry;
};

struct ProbeArguments {
    bool probe = false;
    std::string file;      // the first block's product and member id are asked with
    std::string productId; // without a file
};

// Probes every port of the kinds, one after the other, for the header's product id (and
// with its member id in the inquiry); serial devices at baudRate. A silent port is given
// PROBE_PORT_REPLY_MS, a port that answered PROBE_INQUIRY_MS more for the inquiry. 1 with a
// result per port; 0 when a stop signal ended the probe.
#define PROBE_PORT_REPLY_MS 500
#define PROBE_INQUIRY_MS 1000
int ProbePorts(int kinds, const SystemFileHeader& header, int baudRate,
               std::vector<ProbeResult>* results);

// "answered: product 3C member none, protocol code 0, packet size 1024", "no answer",
// "busy (Device or resource busy: held by PID 12 (minicom))", ...
std::string ProbeResultText(const ProbeResult& result, const SystemFileHeader& header);

// `ports --probe`, after the listing: every port's result, for the product id of the
// arguments. EXIT_DONE when an instrument answered, EXIT_NO_ANSWER when none did.
int CommandProbe(const ProbeArguments& arguments);

// --midi auto (deviceType DEVICE_TYPE_MIDI) or --serial auto: the one port of that kind
// that answers header's product id, into port. EXIT_DONE; otherwise the list is reported
// and the exit status is EXIT_NO_ANSWER when none answered, EXIT_USAGE when several did
// (the user must name one), or the stop signal's.
int ProbeFindOne(int deviceType, const SystemFileHeader& header, int baudRate, std::string* port);
