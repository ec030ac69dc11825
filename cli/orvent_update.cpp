// orvent-update: the system updater for Linux, on the same protocol core as the window
// program. Arguments are read here; each command is a function of cli/commands.h.
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/terminal.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

const char kDescription[] =
    "Updates the ORVENT's system software from a system file (*.vsb) over raw MIDI or a "
    "serial line.";

// The rehearsal instrument's settings, each --instrument-NAME VALUE.
const char* const kInstrumentSettings[][3] = {
    {"product-id", "ID", "its product id (default: the file's), as 3C or 3C:12"},
    {"member-id", "N", "its member id (default: the file's)"},
    {"version", "CODE=M.mm", "the version it holds of a block code (* for all); default 0.00"},
    {"protocol", "N", "protocol code of its inquiry reply (0 or 1)"},
    {"packet-size", "N", "packet size of its inquiry reply"},
    {"flags", "N", "1 raw packets, 2 fill packets, 3 both"},
    {"write-steps", "N", "two-phase writing with N progress replies per block"},
    {"reply-delay", "MS", "every reply comes this long after its request"},
    {"fault", "KIND",
     "no-reply, delay, status, extended-status, other-product, garbage-before, wrong-code, "
     "silent-from-packet, write-stalls"},
    {"fault-at", "N",
     "the message the fault strikes, every message counted from 0 (packets among themselves)"},
    {"fault-status", "N", "the status a status fault answers"},
    {"fault-text", "TEXT", "the text of an extended status"},
    {"fault-delay", "MS", "how late a delayed reply comes"},
};
const int kInstrumentSettingCount = sizeof kInstrumentSettings / sizeof kInstrumentSettings[0];

struct InstrumentOptions {
    std::vector<std::string> values[kInstrumentSettingCount];
};

// --midi, --serial or --rehearse, exactly one; and the rehearsal instrument's settings.
void AddDeviceOptions(CLI::App* command, DeviceChoice* device, InstrumentOptions* instrument) {
    CLI::Option_group* group =
        command->add_option_group("device", "The instrument (exactly one of these)");
    group
        ->add_option("--midi", device->midiPort,
                     "raw MIDI port: hw:CARD,DEVICE[,SUBDEVICE] or its name as `ports` lists it")
        ->type_name("PORT");
    group
        ->add_option("--serial", device->serialDevice,
                     "serial device, with the bit rate after @ (default 38400): "
                     "/dev/ttyUSB0@38400")
        ->type_name("DEV[@RATE]");
    group->add_flag("--rehearse", device->rehearse,
                    "the virtual instrument in this program instead of a device");
    group->require_option(1);
    for (int i = 0; i < kInstrumentSettingCount; i++) {
        std::string name = std::string("--instrument-") + kInstrumentSettings[i][0];
        command->add_option(name, instrument->values[i], kInstrumentSettings[i][2])
            ->type_name(kInstrumentSettings[i][1])
            ->group("Rehearsal instrument (with --rehearse)");
    }
}

// The rehearsal's settings say nothing to a real instrument: a run that gives them without
// --rehearse is a mistake the user should hear of before anything is sent.
void RefuseInstrumentWithoutRehearsal(const DeviceChoice& device,
                                      const InstrumentOptions& instrument) {
    for (int i = 0; i < kInstrumentSettingCount && !device.rehearse; i++) {
        if (!instrument.values[i].empty()) {
            throw CLI::ValidationError(std::string("--instrument-") + kInstrumentSettings[i][0],
                                       "only with --rehearse");
        }
    }
}

void CollectInstrument(const InstrumentOptions& instrument, DeviceChoice* device) {
    for (int i = 0; i < kInstrumentSettingCount; i++) {
        for (const std::string& value : instrument.values[i]) {
            device->instrument.emplace_back(kInstrumentSettings[i][0], value);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "orvent-update"};
    app.set_version_flag("--version", "orvent-update 1.21");
    app.require_subcommand(1);
    // -v may come anywhere, as users put it after the command as often as before.
    app.fallthrough();
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "the log rows (Tx..., Rx...) on standard error");

    std::string infoFile;
    CLI::App* info = app.add_subcommand("info", "Describe every block of a system file");
    info->add_option("FILE", infoFile, "system file (*.vsb)")->required()->type_name("");

    app.add_subcommand("ports", "List the MIDI ports and serial devices found");

    VersionArguments version;
    InstrumentOptions versionInstrument;
    CLI::App* versionCommand = app.add_subcommand(
        "version", "Ask the instrument which version of each of the file's blocks it holds, "
                   "or (without --file) only for its answer to the inquiry");
    versionCommand->add_option("--file", version.file, "system file (*.vsb)")->type_name("FILE");
    versionCommand
        ->add_option("--product-id", version.productId,
                     "without --file: the product id to ask, as 3C or 3C:12")
        ->type_name("ID");
    versionCommand->add_flag("--skip-device-check", version.skipDeviceCheck,
                             "accept an instrument of another product id");
    AddDeviceOptions(versionCommand, &version.device, &versionInstrument);

    UpdateArguments update;
    InstrumentOptions updateInstrument;
    CLI::App* updateCommand = app.add_subcommand("update", "Send a system file to the instrument");
    updateCommand->add_option("FILE", update.file, "system file (*.vsb)")
        ->required()
        ->type_name("");
    updateCommand->add_flag("--skip-version-check", update.skipVersionCheck,
                            "send every block, also those the instrument already has");
    updateCommand->add_flag("--skip-device-check", update.skipDeviceCheck,
                            "accept an instrument of another product id");
    updateCommand->add_flag("-y,--yes", update.yes, "do not ask before sending");
    AddDeviceOptions(updateCommand, &update.device, &updateInstrument);

    try {
        app.parse(argc, argv);
        if (versionCommand->parsed() && version.file.empty() && version.productId.empty()) {
            throw CLI::ValidationError("version", "needs --file FILE.vsb or --product-id ID");
        }
        RefuseInstrumentWithoutRehearsal(version.device, versionInstrument);
        RefuseInstrumentWithoutRehearsal(update.device, updateInstrument);
    } catch (const CLI::ParseError& e) {
        // Help and the version are a success; every other parse error is bad usage.
        return app.exit(e) == 0 ? EXIT_DONE : EXIT_USAGE;
    }

    TerminalStart(verbose ? 1 : 0);
    if (info->parsed()) {
        return CommandInfo(infoFile);
    }
    if (!versionCommand->parsed() && !updateCommand->parsed()) {
        return CommandPorts();
    }
    // Before any thread exists, so that every thread leaves the signals to this one.
    if (!InterruptStart()) {
        TerminalError("orvent-update: the stop signals cannot be taken over");
        return EXIT_FAILED;
    }
    if (versionCommand->parsed()) {
        CollectInstrument(versionInstrument, &version.device);
        return CommandVersion(version);
    }
    CollectInstrument(updateInstrument, &update.device);
    return CommandUpdate(update);
}
