// Choosing a system file ends here: the file is described, the transport of DeviceType
// opened, and the update either started at once (developer mode) or offered after the
// instrument has told its version (user modes).
#include "app/file_loading.h"

#include "app/main_window.h"
#include "app/update_rows.h"
#include "logview/log_view.h"
#include "midi/midi_port_names.h"
#include "midi/midi_port_scan.h"
#include "midi/midi_transport.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"
#include "sysfile/system_file.h"
#include "update/transport.h"
#include "update/update_engine.h"
#include "update/update_messages.h"

#include <shellapi.h>

#define PORT_SCAN_TICKS 5 // of TIMER_COUNTDOWN: gives up after 0.4 to 0.5 s

void CloseCurrentTransport(void) {
    CloseTransport(g_settings.DeviceType);
}

void CloseTransport(int deviceType) {
    TransportClose(deviceType);
}

void ShowUpdateOffer(void) {
    EnableWindow(g_mainWindow.updateButton, TRUE);
    PutUpdateOfferRows(g_mainWindow.LoadedFileInfo.deviceName);
}

void ShowAlreadyLatest(void) {
    EnableWindow(g_mainWindow.updateButton, FALSE);
    PutAlreadyLatestRows();
}

int CheckDeviceVersion(HWND window, const char* path) {
    MainWindowState& w = g_mainWindow;
    int r = InquireVersion(&w.LoadedFileInfo, g_settings.DeviceType, nullptr);
    if (r == INQUIRE_NO_ANSWER) {
        CloseCurrentTransport();
        EnableWindow(w.updateButton, FALSE);
        EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
        TellInstrumentNotFound(w.LoadedFileInfo.deviceName, ShowMessage);
        return 0;
    }
    if (r == INQUIRE_UPDATE_NEEDED) {
        w.NeedsUpdate = 1;
        ShowUpdateOffer();
    } else {
        w.NeedsUpdate = 0;
        if (g_settings.SkipVersionCheck) {
            ShowUpdateOffer();
        } else {
            ShowAlreadyLatest();
        }
    }
    EnterUiState(window, UI_READY, UI_CONTROLS_OF_STATE);
    TextCopy(w.UpdateFileName, sizeof w.UpdateFileName, path);
    return 1;
}

namespace {

// Ends a detection that did not lead to an open transport.
int PortScanFailed(HWND window, const char* message) {
    EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
    ShowMessage(message);
    return 0;
}

} // namespace

int StartPortScan(const char* path, HWND window) {
    char text[TEXT_SIZE];
    PlatformFile file = PlatformFileOpenRead(path);
    if (file == PLATFORM_FILE_NONE) {
        TextFormat(text, sizeof text, "File not found - %s ", path);
        ShowMessage(text);
        return 0;
    }
    SystemFileHeader header;
    if (!ReadBlockHeader(file, &header, text)) {
        PlatformFileClose(&file);
        ShowMessage(text);
        return 0;
    }
    unsigned char productIds[3] = {header.productId[0], PRODUCT_ID_ABSENT, PRODUCT_ID_ABSENT};
    if (header.productId[1] != PRODUCT_ID_ABSENT) {
        productIds[1] = header.productId[1];
        if (header.productId[2] != PRODUCT_ID_ABSENT) {
            productIds[2] = header.productId[2];
        }
    }
    PlatformFileClose(&file);

    static const MidiPortScanProtocol kPortInquiry = {BuildPortInquiry, ReadPortReply};
    if (!MidiPortScanStart(window, productIds, &kPortInquiry)) {
        ShowMessage("Found no MIDI port");
        LogWrite(LOG_NEWLINE_BEFORE, "Found no MIDI port.");
        InfoPutStatus(0, 0, "Found no MIDI port.", INFO_KEEP_ROW);
        return 0;
    }
    LogClear();
    LogWrite(0, "Scan MIDI port....");
    g_mainWindow.Countdown = PORT_SCAN_TICKS;
    TextCopy(g_mainWindow.UpdateFileName, sizeof g_mainWindow.UpdateFileName, path);
    return 1;
}

void OnPortScanTimeout(HWND window) {
    MainWindowState& w = g_mainWindow;
    // The detection ends before the message box: its modal loop would otherwise hand a
    // reply that arrives meanwhile to OnMidiPortFound, whose opened transport the rest of
    // this handler would then leave behind in UI_IDLE.
    MidiPortScanFinish(NULL, NULL, NULL, NULL);
    w.Countdown = 0;
    EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
    ShowMessage("Update device is not found.");
    LogWrite(LOG_NEWLINE_BEFORE, "Update device is not found.");
}

int OnMidiPortFound(HWND window) {
    MainWindowState& w = g_mainWindow;
    // A notification handled after the countdown ended its detection (or queued by an
    // earlier one) finds nothing to finish and must not open anything.
    if (w.UiState != UI_SCANNING || !MidiPortScanHasReply()) {
        return 0;
    }
    w.Countdown = 0;
    char inName[TEXT_SIZE];
    char outName[TEXT_SIZE];
    unsigned char flags = 0;
    unsigned short driverVersion = 0;
    if (!MidiPortScanFinish(inName, outName, &flags, &driverVersion)) {
        return PortScanFailed(window, "Update device is not found.");
    }

    char text[TEXT_SIZE];
    TextFormat(text, sizeof text, "In port:  %s", inName);
    LogWrite(LOG_NEWLINE_BEFORE, text);
    TextFormat(text, sizeof text, "Out port: %s", outName);
    LogWrite(LOG_NEWLINE_BEFORE, text);
    LogWrite(LOG_NEWLINE_BEFORE, "");

    const unsigned char both = MIDI_DRIVER_FLAG_INPUT | MIDI_DRIVER_FLAG_OUTPUT;
    if (g_settings.OnlyMavoDriver == 1 && (flags & both) != both) {
        PortScanFailed(window,
                       "Port Error! It is necessary to be supplied \n from MAVO MIDI-Driver.");
        LogWrite(LOG_NEWLINE_BEFORE,
                 "Port Error! It is necessary to be supplied from MAVO MIDI-Driver.");
        return 0;
    }
    if (flags != 0 && driverVersion < MAVO_DRIVER_VERSION_MIN) {
        char format[TEXT_SIZE];
        if (LoadStringA(GetModuleHandleA(NULL), IDS_DRIVER_VERSION_ERROR, format, sizeof format) <=
            0) {
            TextCopy(format, sizeof format, "MAVO USB MIDI Driver version error. (%d.%02d)");
        }
        TextFormat(text, sizeof text, format, driverVersion >> 8, driverVersion & 0xFF);
        PortScanFailed(window, text);
        InfoPutStatus(0, 0, "MAVO USB MIDI Driver version error.", INFO_CLEAR_ROW);
        LogWrite(LOG_NEWLINE_BEFORE, "MAVO USB MIDI Driver version error.");
        return 0;
    }
    // The found names serve this run only; the settings keep the named ports.
    char errorText[PATH_SIZE];
    if (!MidiOpen(outName, inName, errorText, g_settings.OnlyMavoDriver)) {
        return PortScanFailed(window, errorText);
    }
    if (g_settings.DevMode == DEV_MODE_DEVELOPER) {
        return BeginUpdate(window);
    }
    EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
    char path[PATH_SIZE];
    TextCopy(path, sizeof path, w.UpdateFileName);
    return CheckDeviceVersion(window, path);
}

int LoadSystemFile(HWND window, const char* path) {
    MainWindowState& w = g_mainWindow;
    // The path may be one of the window's own buffers that this sequence rewrites.
    char file[PATH_SIZE];
    TextCopy(file, sizeof file, path);

    LogClear();
    InfoClearDetails();
    InfoClearStatus();
    // UI_READY refuses a reload while the transport goes; the load's outcome sets the
    // controls.
    EnterUiState(window, UI_READY, UI_CONTROLS_KEPT);
    CloseCurrentTransport();
    EnterUiState(window, UI_IDLE, UI_CONTROLS_KEPT);

    if (!AnalyzeSystemFile(file, &w.LoadedFileInfo)) {
        return 0;
    }

    // MidiAuto is 0 at every start of this product, so the named ports are used; the
    // detection's result arrives later as CMD_MIDI_PORT_FOUND.
    if (g_settings.DeviceType == DEVICE_TYPE_MIDI && g_settings.MidiAuto) {
        if (!StartPortScan(file, window)) {
            EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
            return 0;
        }
        // The commands stay locked until the detection has ended one way or the other.
        EnterUiState(window, UI_SCANNING, UI_CONTROLS_OF_STATE);
        return 1;
    }
    char errorText[PATH_SIZE];
    // The rate is read for every transport now: an index out of the table reads none.
    const int speed = g_settings.ComBaudRate;
    const TransportChoice choice = {g_settings.DeviceType,
                                    g_settings.ComPortNum,
                                    speed >= 0 && speed < BAUD_RATE_COUNT ? BaudRateTable[speed]
                                                                          : 0,
                                    g_settings.OutputMidiDevice,
                                    g_settings.InputMidiDevice,
                                    g_settings.OnlyMavoDriver};
    const int opened = TransportOpen(&choice, errorText);
    if (!opened) {
        ShowMessage(errorText);
        EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
        return 0;
    }

    if (g_settings.DevMode == DEV_MODE_DEVELOPER) {
        TextCopy(w.UpdateFileName, sizeof w.UpdateFileName, file);
        return BeginUpdate(window);
    }
    return CheckDeviceVersion(window, file);
}
