// The commands of orvent-update, each a plain function over parsed arguments that
// returns the program's exit status.
#pragma once

#include <string>
#include <vector>

enum {
    EXIT_DONE = 0,      // the update completed, or the instrument already has the version
    EXIT_FAILED = 1,    // the file, the device or the update failed
    EXIT_USAGE = 2,     // bad arguments, or a question without a terminal to ask it on
    EXIT_NO_ANSWER = 3, // no instrument answered the inquiry
    EXIT_DECLINED = 4,  // the user answered "Update now?" with no: nothing was sent
    EXIT_ABORTED = 130, // the user stopped it with Ctrl+C; SIGTERM 143, SIGHUP 129
                        // (InterruptExitStatus)
};

// Which instrument a command talks to: a MIDI port, a serial device, the USB update device
// or the rehearsal's virtual instrument, with the rehearsal instrument's settings as
// name/value pairs.
struct DeviceChoice {
    std::string midiPort;
    std::string serialDevice; // DEV or DEV@RATE
    bool usb = false;
    bool rehearse = false;
    std::vector<std::pair<std::string, std::string>> instrument;
};

struct UpdateArguments {
    std::string file;
    DeviceChoice device;
    bool skipVersionCheck = false;
    bool skipDeviceCheck = false;
    bool yes = false;
};

struct VersionArguments {
    std::string file;      // empty: the inquiry alone
    std::string productId; // for the inquiry without a file
    DeviceChoice device;
    bool skipDeviceCheck = false;
};

int CommandInfo(const std::string& file);
int CommandPorts(void);
int CommandVersion(const VersionArguments& arguments);
int CommandUpdate(const UpdateArguments& arguments);
