// The Config dialog. One procedure serves both templates: the user modes' template lacks
// the transport and serial controls, and every operation on a missing control is a no-op.
#include "app/config_dialog.h"

#include "app/file_loading.h"
#include "app/main_window.h"
#include "midi/midi_port_names.h"
#include "platform/text.h"
#include "resources/config_dialog_ids.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"

#include <cstring>

namespace {

// The dialog's process-wide record: the working copies, alive from opening to OK or
// Cancel. The MIDI port names are not copied; OK reads them from the lists.
struct ConfigDialogState {
    int DeviceType;
    int ComPortNum;
    int ComBaudRate;
    int SkipVersionCheck;
    int SkipDeviceCheck;
    int MidiAuto;
    int OnlyMavoDriver;
};

ConfigDialogState g_configDialog;

void EnableControl(HWND dialog, int id, bool enable) {
    HWND control = GetDlgItem(dialog, id);
    if (control != NULL) {
        EnableWindow(control, enable ? TRUE : FALSE);
    }
}

void ShowCheck(HWND dialog, int id, int value) {
    CheckDlgButton(dialog, id, value == 1 ? BST_CHECKED : BST_UNCHECKED);
}

// Lists the ports MidiOpen can choose, in device order, and selects the stored one. A
// stored name that the system does not list (the instrument is not connected) is
// appended, so that OK keeps it unless the user picks another port.
void FillPortList(HWND dialog, int listId, int direction, const char* storedName) {
    HWND list = GetDlgItem(dialog, listId);
    if (list == NULL) {
        return;
    }
    const unsigned count = MidiPortCount(direction);
    LRESULT selected = CB_ERR;
    for (unsigned device = 0; device < count; ++device) {
        MidiPortInfo port;
        if (!MidiPortRead(direction, device, MIDI_PORTS_OPENABLE, &port)) {
            continue;
        }
        LRESULT index = SendMessageA(list, CB_ADDSTRING, 0, (LPARAM)port.name);
        // The last equal entry wins when a driver lists one name twice.
        if (index >= 0 && strcmp(port.name, storedName) == 0) {
            selected = index;
        }
    }
    if (selected == CB_ERR) {
        if (storedName[0] != '\0') {
            selected = SendMessageA(list, CB_ADDSTRING, 0, (LPARAM)storedName);
        } else {
            if (SendMessageA(list, CB_GETCOUNT, 0, 0) <= 0) {
                SendMessageA(list, CB_ADDSTRING, 0, (LPARAM) "");
            }
            selected = 0;
        }
    }
    SendMessageA(list, CB_SETCURSEL, (WPARAM)selected, 0);
}

// Copies the selected entry's text into setting; a list without a selection (or without
// the control) leaves the setting as it was.
void ReadSelectedPort(HWND dialog, int listId, char* setting, size_t size) {
    HWND list = GetDlgItem(dialog, listId);
    if (list == NULL) {
        return;
    }
    LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) {
        return;
    }
    // CB_GETLBTEXT takes no buffer size, so the length is checked first.
    char text[MIDI_DEVICE_NAME_SIZE];
    LRESULT length = SendMessageA(list, CB_GETLBTEXTLEN, (WPARAM)selected, 0);
    if (length < 0 || (size_t)length >= sizeof text) {
        return;
    }
    if (SendMessageA(list, CB_GETLBTEXT, (WPARAM)selected, (LPARAM)text) == CB_ERR) {
        return;
    }
    text[length] = '\0';
    TextCopy(setting, size, text);
}

// Which controls of a transport can be used. "Detect device automatically" is never
// enabled: it shows MidiAuto but cannot change it.
void ApplyEnableRule(HWND dialog, int transport) {
    const ConfigDialogState& d = g_configDialog;
    const bool serial = transport == DEVICE_TYPE_SERIAL;
    const bool midi = transport == DEVICE_TYPE_MIDI;
    for (int port = 0; port < SERIAL_PORT_COUNT; ++port) {
        EnableControl(dialog, IDC_COM1 + port, serial && PortPresent[port] != 0);
    }
    EnableControl(dialog, IDC_PORT_GROUP, serial);
    EnableControl(dialog, IDC_BAUDRATE_GROUP, serial);
    EnableControl(dialog, IDC_BAUD_38400, serial);
    EnableControl(dialog, IDC_BAUD_57600, serial);
    EnableControl(dialog, IDC_MIDI_AUTO, false);
    const bool namedPorts = midi && d.MidiAuto != 1;
    EnableControl(dialog, IDC_OUT_PORT_LIST, namedPorts);
    EnableControl(dialog, IDC_IN_PORT_LIST, namedPorts);
    EnableControl(dialog, IDC_OUT_PORT_LABEL, namedPorts);
    EnableControl(dialog, IDC_IN_PORT_LABEL, namedPorts);
    EnableControl(dialog, IDC_ONLY_MAVO_DRIVER, midi);
}

void OnInitDialog(HWND dialog) {
    ConfigDialogState& d = g_configDialog;
    d.DeviceType = g_settings.DeviceType;
    d.ComPortNum = g_settings.ComPortNum;
    d.ComBaudRate = g_settings.ComBaudRate;
    d.SkipVersionCheck = g_settings.SkipVersionCheck;
    d.SkipDeviceCheck = g_settings.SkipDeviceCheck;
    d.MidiAuto = g_settings.MidiAuto;
    d.OnlyMavoDriver = g_settings.OnlyMavoDriver;

    FillPortList(dialog, IDC_OUT_PORT_LIST, MIDI_PORT_OUTPUT, g_settings.OutputMidiDevice);
    FillPortList(dialog, IDC_IN_PORT_LIST, MIDI_PORT_INPUT, g_settings.InputMidiDevice);

    // An index without a button in the range (31250 bit/s, an unknown transport) clears
    // the whole group.
    CheckRadioButton(dialog, IDC_USE_SERIAL, IDC_USE_USB, IDC_USE_SERIAL + d.DeviceType);
    CheckRadioButton(dialog, IDC_COM1, IDC_COM4, IDC_COM1 - 1 + d.ComPortNum);
    CheckRadioButton(dialog, IDC_BAUD_38400, IDC_BAUD_57600,
                     IDC_SKIP_VERSION_CHECK + d.ComBaudRate);

    ShowCheck(dialog, IDC_SKIP_VERSION_CHECK, d.SkipVersionCheck);
    ShowCheck(dialog, IDC_SKIP_DEVICE_CHECK, d.SkipDeviceCheck);
    ShowCheck(dialog, IDC_MIDI_AUTO, d.MidiAuto);
    ShowCheck(dialog, IDC_ONLY_MAVO_DRIVER, d.OnlyMavoDriver);

    ApplyEnableRule(dialog, d.DeviceType);
}

void OnTransport(HWND dialog, int id) {
    g_configDialog.DeviceType = id - IDC_USE_SERIAL;
    CheckRadioButton(dialog, IDC_USE_SERIAL, IDC_USE_USB, id);
    ApplyEnableRule(dialog, g_configDialog.DeviceType);
}

void OnToggle(HWND dialog, int id, int* value) {
    *value = *value == 1 ? 0 : 1;
    ShowCheck(dialog, id, *value);
}

// A skipped version check offers the update even to an instrument that has the file's
// version, so the offer shown for the current instrument follows the new choice at once.
void RefreshOffer(void) {
    const ConfigDialogState& d = g_configDialog;
    if (d.SkipVersionCheck == g_settings.SkipVersionCheck || g_mainWindow.UiState != UI_READY) {
        return;
    }
    if (d.SkipVersionCheck == 1) {
        ShowUpdateOffer();
    } else if (g_mainWindow.NeedsUpdate == 0) {
        ShowAlreadyLatest();
    }
}

// In the user modes the new ports must take effect at once, so the current file is
// loaded again. The request is posted: the window handles it after the dialog has gone
// and the settings below are stored.
void RequestReload(HWND dialog) {
    const ConfigDialogState& d = g_configDialog;
    if (g_settings.DevMode >= DEV_MODE_DEVELOPER) {
        return;
    }
    const bool due =
        d.DeviceType != g_settings.DeviceType || (g_settings.DeviceType == DEVICE_TYPE_MIDI &&
                                                  (d.OnlyMavoDriver != g_settings.OnlyMavoDriver ||
                                                   g_settings.MidiAuto == 0 || d.MidiAuto == 0));
    if (!due || CurrentFileName[0] == '\0') {
        return;
    }
    HWND parent = GetParent(dialog);
    if (parent == NULL) {
        return;
    }
    // The window refuses a reload while the instrument is ready: the offer is withdrawn.
    EnterUiState(parent, UI_IDLE, UI_CONTROLS_OF_STATE);
    PostMessageA(parent, WM_COMMAND, CMD_RELOAD_FILE, 0);
}

void OnOk(HWND dialog) {
    const ConfigDialogState& d = g_configDialog;
    ReadSelectedPort(dialog, IDC_OUT_PORT_LIST, g_settings.OutputMidiDevice,
                     sizeof g_settings.OutputMidiDevice);
    ReadSelectedPort(dialog, IDC_IN_PORT_LIST, g_settings.InputMidiDevice,
                     sizeof g_settings.InputMidiDevice);
    RefreshOffer();
    RequestReload(dialog);
    g_settings.OnlyMavoDriver = d.OnlyMavoDriver;
    g_settings.DeviceType = d.DeviceType;
    g_settings.ComBaudRate = d.ComBaudRate;
    g_settings.SkipVersionCheck = d.SkipVersionCheck;
    g_settings.SkipDeviceCheck = d.SkipDeviceCheck;
    g_settings.ComPortNum = d.ComPortNum;
    g_settings.MidiAuto = d.MidiAuto;
    EndDialog(dialog, 1);
}

void OnCommand(HWND dialog, int id) {
    ConfigDialogState& d = g_configDialog;
    // The user cannot click a control the template lacks; a command naming one comes from
    // elsewhere and must not change a working copy that has no control to show it.
    if (id != IDOK && id != IDCANCEL && GetDlgItem(dialog, id) == NULL) {
        return;
    }
    switch (id) {
    case IDC_USE_SERIAL:
    case IDC_USE_MIDI:
    case IDC_USE_USB:
        OnTransport(dialog, id);
        break;
    case IDC_COM1:
    case IDC_COM2:
    case IDC_COM3:
    case IDC_COM4:
        d.ComPortNum = id - (IDC_COM1 - 1);
        CheckRadioButton(dialog, IDC_COM1, IDC_COM4, id);
        break;
    case IDC_BAUD_38400:
    case IDC_BAUD_57600:
        d.ComBaudRate = id - IDC_SKIP_VERSION_CHECK;
        CheckRadioButton(dialog, IDC_BAUD_38400, IDC_BAUD_57600, id);
        break;
    case IDC_SKIP_VERSION_CHECK:
        OnToggle(dialog, id, &d.SkipVersionCheck);
        break;
    case IDC_SKIP_DEVICE_CHECK:
        OnToggle(dialog, id, &d.SkipDeviceCheck);
        break;
    case IDC_ONLY_MAVO_DRIVER:
        OnToggle(dialog, id, &d.OnlyMavoDriver);
        break;
    case IDCANCEL:
        EndDialog(dialog, 0);
        break;
    case IDOK:
        OnOk(dialog);
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        OnCommand(dialog, LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int ConfigDialog(HWND parent) {
    const char* name =
        g_settings.DevMode == DEV_MODE_DEVELOPER ? "CONFIG_DIALOG" : "CONFIG_DIALOG2";
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), name, parent, ConfigDialogProc, 0);
    return result == 1 ? 1 : 0;
}
