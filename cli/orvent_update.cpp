// orvent-update: the system updater for Linux, on the same protocol core as the window
// program. Arguments are read here; each command is a function of cli/commands.h.
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/serial_devices.h"
#include "cli/terminal.h"
#include "sim/instrument_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kDescription[] =
    "Updates the ORVENT's system software from a system file (*.vsb) over raw MIDI, a "
    "serial line or the instrument's USB update device.";

// What --version says: the product's version, as the window program's version resource
// has it.
const char kVersionText[] = "orvent-update 1.2.1.1";

const char kInstrumentPrefix[] = "--instrument-";

const char* const kCommands[] = {"info", "ports", "version", "update"};

// The rehearsal instrument's settings as given, by their row of the instrument's settings
// (sim/instrument_options.h): each --instrument-NAME VALUE, repeatable, of the rows the
// rehearsal offers.
struct InstrumentOptions {
    std::vector<std::vector<std::string>> values =
        std::vector<std::vector<std::string>>((size_t)InstrumentSettingCount());
};

// Every value is checked while the line is parsed, so that a mistake is told before a file
// is read or a device opened. An empty return is a good value.
std::string CheckSerialDevice(const std::string& text) {
    std::string device;
    int baudRate = 0;
    if (ParseSerialDevice(text, &device, &baudRate)) {
        return "";
    }
    return text + (device.empty() ? ": no device" : ": the rate after @ is no bit rate");
}

std::string CheckProductId(const std::string& text) {
    unsigned char id[3];
    return InstrumentParseProductId(text.c_str(), id)
               ? ""
               : text + ": 1 to 3 hexadecimal bytes, as 3C or 3C:12";
}

// A setting's value is judged by the instrument's own parser, on a scratch configuration:
// what it takes here the rehearsal takes later.
CLI::Validator InstrumentValueCheck(const char* name) {
    return CLI::Validator(
        [name](std::string& value) -> std::string {
            VirtualInstrumentConfig scratch;
            VirtualInstrumentDefaultConfig(&scratch);
            return InstrumentApplyOption(name, value.c_str(), &scratch)
                       ? ""
                       : value + ": not a value the instrument takes";
        },
        "");
}

// -v in every command, so each command's help shows it; all of them set the one switch.
void AddVerbose(CLI::App* command, bool* verbose) {
    command->add_flag("-v,--verbose", *verbose, "the log rows (Tx..., Rx...) on standard error");
}

// The first word that is no option names the command, as the program's own options are
// switches without values. Empty when it is a command or there is none.
std::string UnknownCommand(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-') {
            continue;
        }
        for (const char* command : kCommands) {
            if (strcmp(argv[i], command) == 0) {
                return "";
            }
        }
        return argv[i];
    }
    return "";
}

// --midi, --serial, --usb or --rehearse, exactly one; and the rehearsal instrument's
// settings.
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
        ->type_name("DEV[@RATE]")
        ->check(CheckSerialDevice);
    group->add_flag("--usb", device->usb,
                    "the instrument's USB update device (its bulk pipes, through libusb)");
    group->add_flag("--rehearse", device->rehearse,
                    "the virtual instrument in this program instead of a device");
    group->require_option(1);
    for (int i = 0; i < InstrumentSettingCount(); i++) {
        const InstrumentSetting* setting = InstrumentSettingAt(i);
        if (!setting->rehearsal) {
            continue;
        }
        std::string help = setting->help;
        if (setting->rehearsalDefault != nullptr) {
            help += std::string("; default: ") + setting->rehearsalDefault;
        }
        // Only the versions add up; any other setting given twice keeps the last value.
        // The option text leaves out CLI11's "..." that a list would show.
        CLI::Option* option = command
                                  ->add_option(kInstrumentPrefix + std::string(setting->name),
                                               instrument->values[i], help)
                                  ->option_text(setting->valueName)
                                  ->check(InstrumentValueCheck(setting->name))
                                  ->group("Rehearsal instrument (with --rehearse)");
        if (strcmp(setting->name, "version") != 0) {
            option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
    }
}

// The rehearsal's settings say nothing to a real instrument: a run that gives them without
// --rehearse is a mistake the user should hear of before anything is sent.
void RefuseInstrumentWithoutRehearsal(const DeviceChoice& device,
                                      const InstrumentOptions& instrument) {
    for (int i = 0; i < InstrumentSettingCount() && !device.rehearse; i++) {
        if (!instrument.values[i].empty()) {
            throw CLI::ValidationError(kInstrumentPrefix +
                                           std::string(InstrumentSettingAt(i)->name),
                                       "only with --rehearse");
        }
    }
}

void CollectInstrument(const InstrumentOptions& instrument, DeviceChoice* device) {
    for (int i = 0; i < InstrumentSettingCount(); i++) {
        for (const std::string& value : instrument.values[i]) {
            device->instrument.emplace_back(InstrumentSettingAt(i)->name, value);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "orvent-update"};
    app.set_version_flag("--version", kVersionText);
    app.require_subcommand(1);
    // -v may come anywhere, as users put it after the command as often as before.
    app.fallthrough();
    bool verbose = false;
    AddVerbose(&app, &verbose);

    std::string infoFile;
    CLI::App* info = app.add_subcommand("info", "Describe every block of a system file");
    info->add_option("FILE", infoFile, "system file (*.vsb)")->required()->type_name("");
    AddVerbose(info, &verbose);

    AddVerbose(
        app.add_subcommand(
            "ports", "List the MIDI ports, the serial devices and the USB update device found"),
        &verbose);

    VersionArguments version;
    InstrumentOptions versionInstrument;
    CLI::App* versionCommand = app.add_subcommand(
        "version", "Ask the instrument which version of each of the file's blocks it holds, "
                   "or (without --file) only for its answer to the inquiry");
    CLI::Option* versionFile =
        versionCommand->add_option("--file", version.file, "system file (*.vsb)")
            ->type_name("FILE");
    versionCommand
        ->add_option("--product-id", version.productId,
                     "without --file: the product id to ask, as 3C or 3C:12")
        ->type_name("ID")
        ->check(CheckProductId)
        ->excludes(versionFile);
    versionCommand->add_flag("--skip-device-check", version.skipDeviceCheck,
                             "accept an instrument of another product id");
    AddVerbose(versionCommand, &verbose);
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
    AddVerbose(updateCommand, &verbose);
    AddDeviceOptions(updateCommand, &update.device, &updateInstrument);

    // CLI11 would only say that a command is required; the user should hear which word was
    // taken for one and what the commands are.
    const std::string unknown = UnknownCommand(argc, argv);
    if (!unknown.empty()) {
        std::string commands;
        for (const char* command : kCommands) {
            commands += (commands.empty() ? "" : ", ") + std::string(command);
        }
        fprintf(stderr, "orvent-update: no command '%s'; commands: %s\n", unknown.c_str(),
                commands.c_str());
        return EXIT_USAGE;
    }
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
