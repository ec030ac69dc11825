// Choosing a system file ends here: the file is described, the transport of DeviceType
// opened, and the update either started at once (developer mode) or offered after the
// instrument has told its version (user modes).
#include "app/file_loading.h"

#include "app/main_window.h"
#include "logview/log_view.h"
#include "midi/midi_transport.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"
#include "sysfile/system_file.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/transport.h"
#include "update/update_engine.h"

void CloseCurrentTransport(void) {
    switch (g_settings.DeviceType) {
    case DEVICE_SERIAL:
        SerialClose();
        break;
    case DEVICE_MIDI:
        MidiClose();
        break;
    case DEVICE_USB_BULK:
        UsbBulkClose();
        break;
    default:
        KernelMidiClose();
        break;
    }
}

void ShowUpdateOffer(void) {
    char line[TEXT_SIZE];
    EnableWindow(g_mainWindow.updateButton, TRUE);
    InfoClearStatus();
    InfoPutStatus(0, 0, "Update puts the latest system software", 0);
    TextFormat(line, sizeof line, " on your %s.", g_mainWindow.LoadedFileInfo.deviceName);
    InfoPutStatus(0, 1, line, 0);
}

void ShowAlreadyLatest(void) {
    EnableWindow(g_mainWindow.updateButton, FALSE);
    InfoClearStatus();
    InfoPutStatus(0, 0, "Already the latest version.", 0);
}

int CheckDeviceVersion(HWND window, const char* path) {
    (void)window;
    MainWindowState& w = g_mainWindow;
    int r = InquireVersion(&w.LoadedFileInfo, g_settings.DeviceType);
    if (r == INQUIRE_NO_ANSWER) {
        char text[TEXT_SIZE];
        CloseCurrentTransport();
        EnableWindow(w.updateButton, FALSE);
        w.UiState = UI_IDLE;
        LogWrite(LOG_NEWLINE_BEFORE, "Failed to recieve data(timeout).");
        TextFormat(text, sizeof text, "%s(in update mode) is not found.",
                   w.LoadedFileInfo.deviceName);
        ShowMessage(text);
        InfoPutStatus(0, 0, text, 0);
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
    w.UiState = UI_READY;
    TextCopy(w.UpdateFileName, sizeof w.UpdateFileName, path);
    return 1;
}

int LoadSystemFile(HWND window, const char* path) {
    MainWindowState& w = g_mainWindow;
    // The path may be one of the window's own buffers that this sequence rewrites.
    char file[PATH_SIZE];
    TextCopy(file, sizeof file, path);

    LogClear();
    InfoClearDetails();
    InfoClearStatus();
    w.UiState = UI_READY;
    CloseCurrentTransport();
    w.UiState = UI_IDLE;

    if (!AnalyzeSystemFile(file, &w.LoadedFileInfo)) {
        return 0;
    }

    char errorText[PATH_SIZE];
    int opened;
    switch (g_settings.DeviceType) {
    case DEVICE_SERIAL:
        opened =
            SerialOpen(g_settings.ComPortNum, BaudRateTable[g_settings.ComBaudRate], errorText);
        break;
    case DEVICE_MIDI:
        // The automatic port detection is switched off in this product (MidiAuto is 0 at
        // every start), so the named ports are always used.
        opened = MidiOpen(g_settings.OutputMidiDevice, g_settings.InputMidiDevice, errorText,
                          g_settings.OnlyMavoDriver);
        break;
    case DEVICE_USB_BULK:
        opened = UsbBulkOpen(errorText);
        break;
    case DEVICE_KERNEL_MIDI:
        opened = KernelMidiOpen(errorText);
        break;
    default:
        TextCopy(errorText, sizeof errorText, "Unknown Type");
        opened = 0;
        break;
    }
    if (!opened) {
        ShowMessage(errorText);
        ShowIdleControls(window);
        return 0;
    }

    if (g_settings.DevMode == DEV_MODE_DEVELOPER) {
        TextCopy(w.UpdateFileName, sizeof w.UpdateFileName, file);
        return BeginUpdate(window);
    }
    return CheckDeviceVersion(window, file);
}
