// The Config dialog, run modally from the linked resources under Wine. A message posted to
// the parent before the dialog opens is the first one its modal loop carries out: it
// looks at the dialog, clicks controls and ends it, all before the dialog is first shown
// (Wine without a window manager waits two seconds for a shown window to be unmapped).
// MIDI ports come from the stand-in winmm.dll when it sits beside the executable.
#include "app/config_dialog.h"

#include "app/file_loading.h"
#include "app/main_window.h"
#include "resources/config_dialog_ids.h"
#include "resources/resource_ids.h"
#include "settings/settings_testing.h"

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

// The main window's state and file loading's offer texts, without the window itself.
MainWindowState g_mainWindow = {};
char CurrentFileName[PATH_SIZE];
unsigned char PortPresent[4];
static int g_offerCalls;
static int g_latestCalls;
void ShowUpdateOffer(void) {
    ++g_offerCalls;
}
void ShowAlreadyLatest(void) {
    ++g_latestCalls;
}
void EnterUiState(HWND window, int state, int controls) {
    (void)window;
    (void)controls;
    g_mainWindow.UiState = state;
}

namespace {

typedef std::function<void(HWND)> Script;

enum EndAction { END_OK, END_CANCEL, END_CLOSE_BOX };

const Script* g_script;
EndAction g_end;
bool g_scriptRan;

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") == 0) {
        *(HWND*)found = window;
        return FALSE;
    }
    return TRUE;
}

void Click(HWND dialog, int id) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

const UINT WM_DRIVE_DIALOG = WM_APP + 1;

void DriveDialog(void) {
    HWND dialog = NULL;
    EnumThreadWindows(GetCurrentThreadId(), FindDialog, (LPARAM)&dialog);
    if (dialog == NULL) {
        ADD_FAILURE() << "no dialog";
        return;
    }
    g_scriptRan = true;
    (*g_script)(dialog);
    if (g_end == END_CLOSE_BOX) {
        SendMessageA(dialog, WM_CLOSE, 0, 0);
    } else {
        Click(dialog, g_end == END_OK ? IDOK : IDCANCEL);
    }
}

LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DRIVE_DIALOG) {
        DriveDialog();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool Checked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}
bool Enabled(HWND dialog, int id) {
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

std::vector<std::string> Entries(HWND dialog, int id) {
    std::vector<std::string> entries;
    LRESULT count = SendDlgItemMessageA(dialog, id, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char text[MIDI_DEVICE_NAME_SIZE] = "";
        SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        entries.push_back(text);
    }
    return entries;
}
int Selection(HWND dialog, int id) {
    return (int)SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
}

bool In(const std::vector<int>& ids, int id) {
    for (int each : ids) {
        if (each == id) {
            return true;
        }
    }
    return false;
}

bool StandinLoaded() {
    HMODULE winmm = GetModuleHandleA("winmm.dll");
    return winmm != NULL && GetProcAddress(winmm, "StandinReset") != NULL;
}

class ConfigDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ParentProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "ConfigDialogTestParent";
        RegisterClassA(&windowClass);
        parent_ = CreateWindowA("ConfigDialogTestParent", "parent", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                200, NULL, NULL, GetModuleHandleA(NULL), NULL);
        ASSERT_NE(parent_, nullptr);
    }

    // Settings of a developer on MIDI with ports that are not connected; an idle window.
    void Reset() {
        SettingsReset();
        g_settings.DevMode = DEV_MODE_DEVELOPER;
        g_settings.DeviceType = DEVICE_TYPE_MIDI;
        TextCopy(g_settings.OutputMidiDevice, MIDI_DEVICE_NAME_SIZE, "Not Connected Out");
        TextCopy(g_settings.InputMidiDevice, MIDI_DEVICE_NAME_SIZE, "Not Connected In");
        g_mainWindow = MainWindowState();
        g_mainWindow.UiState = UI_IDLE;
        CurrentFileName[0] = '\0';
        memset(PortPresent, 1, sizeof PortPresent);
        g_offerCalls = g_latestCalls = 0;
    }
    void TearDown() override {
        DestroyWindow(parent_);
        SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", NULL);
        SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", NULL);
    }

    int Run(const Script& script, EndAction end = END_OK) {
        g_script = &script;
        g_end = end;
        g_scriptRan = false;
        PostMessageA(parent_, WM_DRIVE_DIALOG, 0, 0);
        int result = ConfigDialog(parent_);
        MSG stray;
        PeekMessageA(&stray, parent_, WM_DRIVE_DIALOG, WM_DRIVE_DIALOG, PM_REMOVE);
        EXPECT_TRUE(g_scriptRan) << "the dialog did not appear";
        return result;
    }

    // Reload requests the dialog posted to the window.
    int TakeReloads() {
        int reloads = 0;
        MSG msg;
        while (PeekMessageA(&msg, parent_, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
            reloads += msg.wParam == CMD_RELOAD_FILE && msg.lParam == 0;
        }
        return reloads;
    }

    HWND parent_ = NULL;
};

TEST_F(ConfigDialogTest, ModeChoosesTemplateAndBothExistInJapanese) {
    for (int mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE(mode);
        g_settings.DevMode = mode;
        Run([mode](HWND d) {
            char caption[16] = "";
            GetWindowTextA(d, caption, sizeof caption);
            EXPECT_STREQ(caption, "Config");
            const bool full = mode == DEV_MODE_DEVELOPER;
            for (int id : {IDC_USE_SERIAL, IDC_USE_MIDI, IDC_USE_USB, IDC_COM1, IDC_COM4,
                           IDC_BAUD_38400, IDC_BAUD_57600, IDC_SKIP_DEVICE_CHECK}) {
                EXPECT_EQ(GetDlgItem(d, id) != NULL, full) << id;
            }
            for (int id : {IDC_OUT_PORT_LIST, IDC_IN_PORT_LIST, IDC_MIDI_AUTO, IDC_ONLY_MAVO_DRIVER,
                           IDC_SKIP_VERSION_CHECK, IDOK, IDCANCEL}) {
                EXPECT_NE(GetDlgItem(d, id), nullptr) << id;
            }
            // Manual buttons and unsorted drop-down lists: the procedure owns every mark
            // and the device order.
            LONG list = GetWindowLongA(GetDlgItem(d, IDC_OUT_PORT_LIST), GWL_STYLE);
            EXPECT_EQ(list & 3, CBS_DROPDOWNLIST);
            EXPECT_EQ(list & CBS_SORT, 0);
            EXPECT_EQ(GetWindowLongA(GetDlgItem(d, IDC_SKIP_VERSION_CHECK), GWL_STYLE) & 15,
                      BS_CHECKBOX);
            if (full) {
                EXPECT_EQ(GetWindowLongA(GetDlgItem(d, IDC_COM1), GWL_STYLE) & 15, BS_RADIOBUTTON);
            }
        });
    }
    for (const char* name : {"CONFIG_DIALOG", "CONFIG_DIALOG2"}) {
        EXPECT_NE(
            FindResourceExA(NULL, RT_DIALOG, name, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)),
            nullptr)
            << name;
    }
}

TEST_F(ConfigDialogTest, MarksFollowSettings) {
    struct Case {
        int deviceType, comPort, speed, skipVersion, skipDevice, midiAuto, onlyMavo;
        std::vector<int> checked;
    };
    // clang-format off
    const Case cases[] = {
        // Speed index 0 (31250 bit/s) has no button of its own.
        {0, 3, 0, 1, 0, 0, 1, {IDC_USE_SERIAL, IDC_COM3, IDC_SKIP_VERSION_CHECK, IDC_ONLY_MAVO_DRIVER}},
        {1, 1, 1, 0, 1, 1, 0, {IDC_USE_MIDI, IDC_COM1, IDC_BAUD_38400, IDC_SKIP_DEVICE_CHECK, IDC_MIDI_AUTO}},
        {2, 4, 2, 0, 0, 0, 0, {IDC_USE_USB, IDC_COM4, IDC_BAUD_57600}},
    };
    const int buttons[] = {IDC_USE_SERIAL, IDC_USE_MIDI, IDC_USE_USB, IDC_COM1, IDC_COM2, IDC_COM3,
                           IDC_COM4, IDC_BAUD_38400, IDC_BAUD_57600, IDC_SKIP_VERSION_CHECK,
                           IDC_SKIP_DEVICE_CHECK, IDC_MIDI_AUTO, IDC_ONLY_MAVO_DRIVER};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceType);
        g_settings.DeviceType = c.deviceType;
        g_settings.ComPortNum = c.comPort;
        g_settings.ComBaudRate = c.speed;
        g_settings.SkipVersionCheck = c.skipVersion;
        g_settings.SkipDeviceCheck = c.skipDevice;
        g_settings.MidiAuto = c.midiAuto;
        g_settings.OnlyMavoDriver = c.onlyMavo;
        Run([&](HWND d) {
            for (int id : buttons) {
                EXPECT_EQ(Checked(d, id), In(c.checked, id)) << id;
            }
        });
    }
}

TEST_F(ConfigDialogTest, EnableRulesFollowTheTransport) {
    struct Case {
        int openWith; // DeviceType when the dialog opens
        int choose;   // transport button clicked afterwards, 0 for none
        unsigned char present[4];
        int midiAuto;
        std::vector<int> enabled;
    };
    // clang-format off
    const Case cases[] = {
        {1, IDC_USE_SERIAL, {1, 0, 1, 0}, 0, {IDC_COM1, IDC_COM3, IDC_PORT_GROUP, IDC_BAUDRATE_GROUP, IDC_BAUD_38400, IDC_BAUD_57600}},
        {0, 0, {0, 0, 0, 0}, 0, {IDC_PORT_GROUP, IDC_BAUDRATE_GROUP, IDC_BAUD_38400, IDC_BAUD_57600}},
        {0, IDC_USE_MIDI, {1, 1, 1, 1}, 0, {IDC_OUT_PORT_LIST, IDC_IN_PORT_LIST, IDC_OUT_PORT_LABEL, IDC_IN_PORT_LABEL, IDC_ONLY_MAVO_DRIVER}},
        {1, 0, {1, 1, 1, 1}, 1, {IDC_ONLY_MAVO_DRIVER}},
        {0, IDC_USE_USB, {1, 1, 1, 1}, 0, {}},
        {3, 0, {1, 1, 1, 1}, 0, {}},
    };
    const int controls[] = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4, IDC_PORT_GROUP, IDC_BAUDRATE_GROUP,
                            IDC_BAUD_38400, IDC_BAUD_57600, IDC_MIDI_AUTO, IDC_OUT_PORT_LIST, IDC_IN_PORT_LIST,
                            IDC_OUT_PORT_LABEL, IDC_IN_PORT_LABEL, IDC_ONLY_MAVO_DRIVER};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.openWith << " then " << c.choose);
        g_settings.DeviceType = c.openWith;
        g_settings.MidiAuto = c.midiAuto;
        memcpy(PortPresent, c.present, sizeof PortPresent);
        Run([&](HWND d) {
            if (c.choose != 0) {
                Click(d, c.choose);
                for (int id : {IDC_USE_SERIAL, IDC_USE_MIDI, IDC_USE_USB}) {
                    EXPECT_EQ(Checked(d, id), id == c.choose) << id;
                }
            }
            for (int id : controls) {
                EXPECT_EQ(Enabled(d, id), In(c.enabled, id)) << id;
            }
            // The stored port keeps its mark even when the port is absent.
            EXPECT_TRUE(Checked(d, IDC_COM1));
        });
    }
}

TEST_F(ConfigDialogTest, OkStoresWorkingCopiesWhileCancelAndCloseBoxStoreNothing) {
    const Script clicks = [](HWND d) {
        Click(d, IDC_SKIP_VERSION_CHECK);
        Click(d, IDC_SKIP_DEVICE_CHECK);
        Click(d, IDC_ONLY_MAVO_DRIVER);
        Click(d, IDC_USE_SERIAL);
        Click(d, IDC_COM2);
        Click(d, IDC_COM4);
        Click(d, IDC_BAUD_57600);
        EXPECT_TRUE(Checked(d, IDC_COM4) && !Checked(d, IDC_COM2) && Checked(d, IDC_BAUD_57600));
        EXPECT_TRUE(Checked(d, IDC_SKIP_VERSION_CHECK) && !Checked(d, IDC_ONLY_MAVO_DRIVER));
    };
    for (EndAction end : {END_OK, END_CANCEL, END_CLOSE_BOX}) {
        SCOPED_TRACE(end);
        Reset();
        const Settings before = g_settings;
        EXPECT_EQ(Run(clicks, end), end == END_OK ? 1 : 0);
        if (end != END_OK) {
            EXPECT_EQ(memcmp(&before, &g_settings, sizeof before), 0);
            continue;
        }
        EXPECT_EQ(g_settings.DeviceType, DEVICE_TYPE_SERIAL);
        EXPECT_EQ(g_settings.ComPortNum, 4);
        EXPECT_EQ(g_settings.ComBaudRate, 2);
        EXPECT_EQ(g_settings.SkipVersionCheck, 1);
        EXPECT_EQ(g_settings.SkipDeviceCheck, 1);
        EXPECT_EQ(g_settings.OnlyMavoDriver, 0);
        EXPECT_STREQ(g_settings.OutputMidiDevice, "Not Connected Out");
        EXPECT_EQ(TakeReloads(), 0) << "developer mode never reloads";
    }
    // An untouched dialog changes nothing either, not even a speed of 31250 bit/s.
    Reset();
    g_settings.ComBaudRate = 0;
    const Settings before = g_settings;
    EXPECT_EQ(Run([](HWND) {}), 1);
    EXPECT_EQ(memcmp(&before, &g_settings, sizeof before), 0);
}

TEST_F(ConfigDialogTest, CommandsOfControlsTheTemplateLacksChangeNothing) {
    g_settings.DevMode = DEV_MODE_USER;
    g_settings.ComPortNum = 3;
    const Settings before = g_settings;
    Run([](HWND d) {
        for (int id :
             {IDC_USE_SERIAL, IDC_USE_USB, IDC_COM1, IDC_BAUD_38400, IDC_SKIP_DEVICE_CHECK}) {
            Click(d, id);
        }
    });
    EXPECT_EQ(memcmp(&before, &g_settings, sizeof before), 0);
}

TEST_F(ConfigDialogTest, StoredPortMissingFromTheSystemIsAppendedSelectedAndKept) {
    Run([](HWND d) {
        std::vector<std::string> out = Entries(d, IDC_OUT_PORT_LIST);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "Not Connected Out");
        EXPECT_EQ(Selection(d, IDC_OUT_PORT_LIST), (int)out.size() - 1);
        EXPECT_EQ(Entries(d, IDC_IN_PORT_LIST).back(), "Not Connected In");
        // Without a selection, OK leaves the setting alone.
        SendDlgItemMessageA(d, IDC_IN_PORT_LIST, CB_SETCURSEL, (WPARAM)-1, 0);
    });
    EXPECT_STREQ(g_settings.OutputMidiDevice, "Not Connected Out");
    EXPECT_STREQ(g_settings.InputMidiDevice, "Not Connected In");
}

TEST_F(ConfigDialogTest, ListsHoldMidiPortsInDeviceOrderAndSelectTheLastEqualName) {
    if (!StandinLoaded()) {
        GTEST_SKIP() << "needs the stand-in winmm.dll";
    }
    // A synthesizer is never an output the transport would open, so it is not offered.
    // A name of 32 characters fills the driver's name field with no terminator.
#define OTHER "Other Port Name Of 32 Characters"
    SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", "name=Twin,tech=1;name=Synth,tech=2;name=" OTHER
                                                  ",tech=1;name=Twin,tech=1");
    SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", "name=In A;name=In B");
    TextCopy(g_settings.OutputMidiDevice, MIDI_DEVICE_NAME_SIZE, "Twin");
    g_settings.InputMidiDevice[0] = '\0';
    Run([](HWND d) {
        EXPECT_EQ(Entries(d, IDC_OUT_PORT_LIST), (std::vector<std::string>{"Twin", OTHER, "Twin"}));
        EXPECT_EQ(Selection(d, IDC_OUT_PORT_LIST), 2);
        EXPECT_EQ(Entries(d, IDC_IN_PORT_LIST), (std::vector<std::string>{"In A", "In B"}));
        EXPECT_EQ(Selection(d, IDC_IN_PORT_LIST), 0);
        SendDlgItemMessageA(d, IDC_OUT_PORT_LIST, CB_SETCURSEL, 1, 0);
        SendDlgItemMessageA(d, IDC_IN_PORT_LIST, CB_SETCURSEL, 1, 0);
    });
    EXPECT_STREQ(g_settings.OutputMidiDevice, OTHER);
    EXPECT_STREQ(g_settings.InputMidiDevice, "In B");
}

TEST_F(ConfigDialogTest, EmptyStoredNameWithoutPortsGivesOneEmptyEntry) {
    if (StandinLoaded()) {
        SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", "name=Synth,tech=2");
        SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", "none");
    } else if (midiInGetNumDevs() != 0) {
        GTEST_SKIP() << "the system lists MIDI input ports";
    }
    g_settings.OutputMidiDevice[0] = '\0';
    g_settings.InputMidiDevice[0] = '\0';
    Run([](HWND d) {
        EXPECT_EQ(Entries(d, IDC_IN_PORT_LIST), (std::vector<std::string>{""}));
        EXPECT_EQ(Selection(d, IDC_IN_PORT_LIST), 0);
        if (StandinLoaded()) {
            EXPECT_EQ(Entries(d, IDC_OUT_PORT_LIST), (std::vector<std::string>{""}));
        }
    });
    EXPECT_STREQ(g_settings.InputMidiDevice, "");
}

TEST_F(ConfigDialogTest, ChangedSkipVersionCheckRefreshesTheOfferOfAReadyInstrument) {
    struct Case {
        int uiState, needsUpdate, skipBefore, clicks, offers, latest;
    };
    const Case cases[] = {
        {UI_READY, 0, 0, 1, 1, 0}, {UI_READY, 0, 1, 1, 0, 1}, {UI_READY, 1, 1, 1, 0, 0},
        {UI_IDLE, 0, 0, 1, 0, 0},  {UI_READY, 0, 0, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.uiState << c.needsUpdate << c.skipBefore << c.clicks);
        Reset();
        g_mainWindow.UiState = c.uiState;
        g_mainWindow.NeedsUpdate = c.needsUpdate;
        g_settings.SkipVersionCheck = c.skipBefore;
        Run([&](HWND d) {
            for (int i = 0; i < c.clicks; ++i) {
                Click(d, IDC_SKIP_VERSION_CHECK);
            }
        });
        EXPECT_EQ(g_offerCalls, c.offers);
        EXPECT_EQ(g_latestCalls, c.latest);
    }
}

TEST_F(ConfigDialogTest, UserModeOkAsksTheWindowToReloadTheCurrentFile) {
    struct Case {
        int devMode, midiAuto, toggleOnlyMavo;
        const char* file;
        int reloads;
    };
    const Case cases[] = {
        {DEV_MODE_USER, 0, 0, "C:\\sys.vsb", 1}, // even with nothing changed
        {DEV_MODE_USER_TEXT, 0, 0, "C:\\sys.vsb", 1},
        {DEV_MODE_USER, 0, 0, "", 0}, // after an update: nothing to load
        {DEV_MODE_DEVELOPER, 0, 1, "C:\\sys.vsb", 0},
        {DEV_MODE_USER, 1, 0, "C:\\sys.vsb", 0}, // detection on, nothing changed
        {DEV_MODE_USER, 1, 1, "C:\\sys.vsb", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.devMode << c.midiAuto << c.toggleOnlyMavo << c.file);
        Reset();
        g_settings.DevMode = c.devMode;
        g_settings.MidiAuto = c.midiAuto;
        g_mainWindow.UiState = UI_READY;
        TextCopy(CurrentFileName, sizeof CurrentFileName, c.file);
        Run([&](HWND d) {
            if (c.toggleOnlyMavo) {
                Click(d, IDC_ONLY_MAVO_DRIVER);
            }
        });
        EXPECT_EQ(TakeReloads(), c.reloads);
        // The window refuses a reload while ready, so the dialog leaves that state first.
        EXPECT_EQ(g_mainWindow.UiState, c.reloads ? UI_IDLE : UI_READY);
    }
}

} // namespace
