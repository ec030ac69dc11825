// orvent-update: the system updater for Linux, on the same protocol core as the window
// program. Arguments are read here; each command is a function of cli/commands.h.
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "cli/json_report.h"
#include "cli/probe.h"
#include "cli/serial_devices.h"
#include "cli/terminal.h"
#include "sim/instrument_options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
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

// What the program writes, and where.
struct OutputOptions {
    int verbose = 0; // -v 1, -vv 2
    bool quiet = false;
    bool json = false;
    std::string logFile;
};

// The output options in every command, so each command's help shows them; all of them set
// the one record, and each -v counts wherever it stands.
void AddOutputOptions(CLI::App* command, OutputOptions* output) {
    command->add_flag_function(
        "-v,--verbose", [output](int64_t count) { output->verbose += (int)count; },
        "the log rows (Tx..., Rx...) on standard error; -vv also each message in hex");
    command->add_flag("-q,--quiet", output->quiet, "only errors, on standard error");
    command->add_flag("--json", output->json,
                      "one JSON document on standard output: the blocks, the instrument's "
                      "answers, each block's result, the outcome, the exit status; the text goes "
                      "to standard error");
    command
        ->add_option("--log", output->logFile,
                     "add every log row, message, result and error, with the time, to FILE")
        ->type_name("FILE");
}

// ports --probe and what it asks with; the id comes from a file or is given.
void AddProbeOptions(CLI::App* ports, ProbeArguments* probe) {
    CLI::Option* flag = ports->add_flag(
        "--probe", probe->probe,
        "send the port inquiry on every raw MIDI port and serial device; say which answered");
    CLI::Option* file = ports
                            ->add_option("--file", probe->file,
                                         "with --probe: the system file whose product id to ask")
                            ->type_name("FILE")
                            ->needs(flag);
    ports
        ->add_option("--product-id", probe->productId,
                     "with --probe, without --file: the product id to ask, as 3C or 3C:12")
        ->type_name("ID")
        ->check(CheckProductId)
        ->excludes(file)
        ->needs(flag);
}

// The first word that is no option names the command, as the program's own options are
// switches without values but for --log. Empty when it is a command or there is none.
std::string UnknownCommand(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--log") == 0) {
            i++;
            continue;
        }
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
                     "raw MIDI port: hw:CARD,DEVICE[,SUBDEVICE] or its name as `ports` lists it; "
                     "auto: the one that answers the port inquiry")
        ->type_name("PORT");
    group
        ->add_option("--serial", device->serialDevice,
                     "serial device, with the bit rate after @ (default 38400): "
                     "/dev/ttyUSB0@38400; auto[@RATE]: the one that answers the port inquiry")
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
    OutputOptions output;
    AddOutputOptions(&app, &output);

    std::string infoFile;
    CLI::App* info = app.add_subcommand("info", "Describe every block of a system file");
    info->add_option("FILE", infoFile, "system file (*.vsb)")->required()->type_name("");
    AddOutputOptions(info, &output);

    ProbeArguments probe;
    CLI::App* ports = app.add_subcommand(
        "ports", "List the MIDI ports, the serial devices and the USB update device found");
    AddOutputOptions(ports, &output);
    AddProbeOptions(ports, &probe);

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
    AddOutputOptions(versionCommand, &output);
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
    AddOutputOptions(updateCommand, &output);
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
        if (probe.probe && probe.file.empty() && probe.productId.empty()) {
            throw CLI::ValidationError("--probe", "needs --file FILE.vsb or --product-id ID");
        }
        RefuseInstrumentWithoutRehearsal(version.device, versionInstrument);
        RefuseInstrumentWithoutRehearsal(update.device, updateInstrument);
        if (output.quiet && output.verbose > 0) {
            throw CLI::ValidationError("-q", "says only errors, -v more: not both");
        }
    } catch (const CLI::ParseError& e) {
        // Help and the version are a success; every other parse error is bad usage.
        return app.exit(e) == 0 ? EXIT_DONE : EXIT_USAGE;
    }

    // The log is opened before anything is done, so that a name it cannot take is told
    // as a bad value.
    if (!output.logFile.empty() && !TerminalLogTo(output.logFile.c_str())) {
        fprintf(stderr, "orvent-update: --log %s: %s\n", output.logFile.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    TerminalStart(output.verbose, output.quiet  ? TERMINAL_TEXT_OFF
                                  : output.json ? TERMINAL_TEXT_STDERR
                                                : TERMINAL_TEXT_STDOUT);
    if (output.json) {
        JsonReportStart(app.get_subcommands().front()->get_name().c_str());
    }
    if (info->parsed()) {
        return JsonReportFinish(CommandInfo(infoFile));
    }
    if (!versionCommand->parsed() && !updateCommand->parsed() && !probe.probe) {
        return JsonReportFinish(CommandPorts());
    }
    // Before any thread exists, so that every thread leaves the signals to this one.
    if (!InterruptStart()) {
        TerminalError("orvent-update: the stop signals cannot be taken over");
        return JsonReportFinish(EXIT_FAILED);
    }
    if (probe.probe) {
        const int listed = CommandPorts();
        return JsonReportFinish(listed != EXIT_DONE ? listed : CommandProbe(probe));
    }
    if (versionCommand->parsed()) {
        CollectInstrument(versionInstrument, &version.device);
        return JsonReportFinish(CommandVersion(version));
    }
    CollectInstrument(updateInstrument, &update.device);
    return JsonReportFinish(CommandUpdate(update));
}
