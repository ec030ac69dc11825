// The main window with the automatic MIDI port detection switched on (MidiAuto is 0 in
// the product): the detection runs on the stand-in winmm.dll beside this executable,
// whose instrument echoes the port inquiry; the found ports are then opened through the
// recorded transport doubles and the version inquiry goes to the in-process instrument.
#include "app/file_loading.h"
#include "app/main_window.h"
#include "app/start_mode.h"
#include "app/startup.h"
#include "logview/log_view.h"
#include "midi/midi_port_scan.h"
#include "resources/resource_ids.h"
#include "settings/settings_testing.h"
#include "sim/virtual_instrument.h"
#include "sim/winmm_standin.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/settings_store_memory.h"
#include "tests/doubles/sim_transport.h"
#include "tests/doubles/transport_open_doubles.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "tests/window_test_support.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kVariables[] = {"ORV_MIDI_OUT_PORTS", "ORV_MIDI_IN_PORTS", "ORV_VI_PRODUCT_ID"};

// The maker's driver as it should be: product 5, version 1.08, both ports cabled.
#define FOUND_OUT "name=Found Out,mid=55,pid=5,ver=1.08,link=1"
#define FOUND_IN "name=Found In,mid=55,pid=5,ver=1.08,link=1"

class MainWindowPortScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(BindStandin()) << "the stand-in winmm.dll did not load beside the test";
        OpenDoublesReset();
        MemoryStoreReset();
        SettingsReset();
        ASSERT_TRUE(RecordMessageBoxCalls());
        g_messageBoxes.clear();
        g_messageBoxDetails.clear();
        g_messageBoxCalls.clear();
        closer_ = SetTimer(NULL, 0, 20, MessageBoxCloser);

        VirtualInstrumentDefaultConfig(&instrument_);
        instrument_.versionMajor[1] = 1;
        instrument_.versionMinor[1] = 3;
        SimTransportDefaultConfig(&transport_);
        transport_.midiTickMs = 1;

        path_ = TestTempPath("port_scan.vsb");
        blocks_ = {TestRandomBlock(1, 1, 5, 0, 512)};
        ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    }

    void TearDown() override {
        if (window_ != NULL && IsWindow(window_)) {
            DestroyWindow(window_);
        }
        PumpMessagesUntil([] { return false; }, 20);
        MidiPortScanFinish(nullptr, nullptr, nullptr, nullptr);
        UnregisterClassA(MAIN_WINDOW_CLASS, GetModuleHandleA(NULL));
        KillTimer(NULL, closer_);
        g_updateEngine.updateState.store(UPDATE_IDLE);
        CurrentFileName[0] = '\0';
        TestRemoveFile(path_);
        for (const char* name : kVariables) {
            SetEnvironmentVariableA(name, NULL);
        }
    }

    void Ports(const char* outPorts, const char* inPorts, const char* productId = nullptr) {
        SetEnvironmentVariableA("ORV_MIDI_OUT_PORTS", outPorts);
        SetEnvironmentVariableA("ORV_MIDI_IN_PORTS", inPorts);
        SetEnvironmentVariableA("ORV_VI_PRODUCT_ID", productId);
        g_standin.reset();
    }

    // Start-up as the entry point does it, then the detection switched on for the run.
    // The file is loaded by the test, so nothing runs before it looks.
    void Start(int mode, int onlyMavoDriver = 1) {
        LoadSettings();
        ApplyModeOverride(mode);
        g_settings.DeviceType = DEVICE_TYPE_MIDI;
        g_settings.MidiAuto = 1;
        g_settings.OnlyMavoDriver = onlyMavoDriver;
        char errorText[TEXT_SIZE];
        ASSERT_EQ(AllocUpdateBuffers(errorText), 1);
        RecordReset();
        RecordSetClientSize(494, ShowLog ? 514 : 258);
        VirtualInstrumentReset(&instrument_);
        SimTransportReset(&transport_);
        CurrentFileName[0] = '\0';
        PortPresent[0] = 1;
        window_ = AppCreateMainWindow(GetModuleHandleA(NULL), SW_HIDE);
        ASSERT_NE(window_, (HWND)NULL);
    }

    bool WaitForState(int state) {
        return PumpMessagesUntil([state] { return g_mainWindow.UiState == state; });
    }

    bool WaitForMessageBox() {
        return PumpMessagesUntil([] { return !g_messageBoxes.empty(); });
    }

    bool MenuGreyed(UINT id) {
        return (GetMenuState(g_mainWindow.menu, id, MF_BYCOMMAND) & MF_GRAYED) != 0;
    }

    bool ButtonEnabled() {
        return IsWindowEnabled(g_mainWindow.updateButton) != FALSE;
    }

    void Command(UINT id) {
        SendMessageA(window_, WM_COMMAND, id, 0);
    }

    HWND window_ = NULL;
    UINT_PTR closer_ = 0;
    VirtualInstrumentConfig instrument_;
    SimTransportConfig transport_;
    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(MainWindowPortScanTest, FoundPortsAreOpenedForThisRunAndTheUpdateOffered) {
    Ports("name=Wavetable Synth,tech=7,mid=99;" FOUND_OUT,
          "name=USB MIDI Cable In,mid=99;" FOUND_IN);
    Start(DEV_MODE_USER_TEXT);
    ASSERT_EQ(1, LoadSystemFile(window_, path_.c_str()));
    // Nothing has been dispatched yet: the window waits for the detection, locked.
    EXPECT_EQ(g_mainWindow.UiState, UI_SCANNING);
    EXPECT_EQ(g_mainWindow.Countdown, 5);
    EXPECT_STREQ(RecordedLogRow(0), "Scan MIDI port....");
    EXPECT_TRUE(MenuGreyed(IDM_OPEN));
    EXPECT_TRUE(MenuGreyed(IDM_CONFIG));
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], 0);

    ASSERT_TRUE(WaitForState(UI_READY));
    EXPECT_EQ(g_mainWindow.Countdown, 0);
    EXPECT_STREQ(g_openDoubles.lastMidiOutput, "Found Out");
    EXPECT_STREQ(g_openDoubles.lastMidiInput, "Found In");
    EXPECT_STREQ(g_settings.OutputMidiDevice, "ORVENT 1 SOUND") << "the settings keep theirs";
    EXPECT_STREQ(g_settings.InputMidiDevice, "ORVENT 1 KEYBOARD");
    EXPECT_STREQ(RecordedLogRow(1), "In port:  Found In");
    EXPECT_STREQ(RecordedLogRow(2), "Out port: Found Out");
    EXPECT_STREQ(RecordedStatusRow(0), "Update puts the latest system software");
    EXPECT_STREQ(RecordedStatusRow(1), " on your ORVENT.");
    EXPECT_EQ(std::string(g_mainWindow.UpdateFileName), path_);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_FALSE(MenuGreyed(IDM_OPEN));
    EXPECT_EQ(0, g_standin.openPortCount()) << "the detection's own ports are closed";
    EXPECT_TRUE(g_messageBoxes.empty());

    // Another notification (a second reply's, a stray one) changes nothing.
    Command(CMD_MIDI_PORT_FOUND);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], 1);
    EXPECT_EQ(g_mainWindow.UiState, UI_READY);
}

TEST_F(MainWindowPortScanTest, DeveloperModeStartsTheUpdateOnTheFoundPorts) {
    Ports(FOUND_OUT, FOUND_IN);
    Start(DEV_MODE_DEVELOPER);
    ASSERT_EQ(1, LoadSystemFile(window_, path_.c_str()));
    ASSERT_TRUE(PumpMessagesUntil([] { return g_mainWindow.UiState == UI_UPDATING; }));
    EXPECT_STREQ(g_openDoubles.lastMidiOutput, "Found Out");
    ASSERT_TRUE(PumpMessagesUntil([] {
        return g_mainWindow.UiState != UI_UPDATING &&
               g_updateEngine.updateState.load() == UPDATE_IDLE;
    }));
    ExpectFlashHoldsBlock(blocks_[0], VirtualInstrumentFlashRead);
}

TEST_F(MainWindowPortScanTest, SilenceUntilTheCountdownEndsIsNotFoundAndALateReplyIsIgnored) {
    Ports(FOUND_OUT, FOUND_IN, "7F"); // the cabled instrument is another product
    Start(DEV_MODE_USER_TEXT);
    ASSERT_EQ(1, LoadSystemFile(window_, path_.c_str()));
    ASSERT_TRUE(WaitForMessageBox());
    EXPECT_EQ(g_messageBoxes[0], "Update device is not found.");
    ExpectPlainMessageBox(0, window_);
    ASSERT_TRUE(PumpMessagesUntil([] { return RecordedLogRow(1)[0] != '\0'; }));
    EXPECT_STREQ(RecordedLogRow(1), "Update device is not found.");
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
    EXPECT_EQ(g_mainWindow.Countdown, 0);
    EXPECT_FALSE(MenuGreyed(IDM_OPEN));
    EXPECT_EQ(0, g_standin.openPortCount());

    Command(CMD_MIDI_PORT_FOUND);
    PumpMessagesUntil([] { return false; }, 100);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], 0);
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
    EXPECT_EQ(1u, g_messageBoxes.size());
}

TEST_F(MainWindowPortScanTest, FoundPairIsCheckedAgainstTheDriverBeforeItIsOpened) {
    const struct {
        const char* what;
        const char* out;
        const char* in;
        int onlyMavoDriver;
        const char* box; // null: opened, no message
        const char* status;
        const char* log;
    } cases[] = {
        {"input of another maker", FOUND_OUT, "name=Found In,mid=99,link=1", 1,
         "Port Error! It is necessary to be supplied \n from MAVO MIDI-Driver.", nullptr,
         "Port Error! It is necessary to be supplied from MAVO MIDI-Driver."},
        {"driver 1.07", "name=Found Out,mid=55,pid=5,ver=1.07,link=1",
         "name=Found In,mid=55,pid=5,ver=1.07,link=1", 0,
         "MAVO system updater requires \n MAVO USB MIDI Driver version 1.08 or later. \n "
         "(current version : 1.07) ",
         "MAVO USB MIDI Driver version error.", "MAVO USB MIDI Driver version error."},
        {"neither port the maker's: no version check", "name=Found Out,mid=99,link=1",
         "name=Found In,mid=99,link=1", 0, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ports(c.out, c.in);
        OpenDoublesReset();
        g_messageBoxes.clear();
        g_messageBoxDetails.clear();
        g_messageBoxCalls.clear();
        Start(DEV_MODE_USER_TEXT, c.onlyMavoDriver);
        ASSERT_EQ(1, LoadSystemFile(window_, path_.c_str()));
        if (c.box == nullptr) {
            ASSERT_TRUE(WaitForState(UI_READY));
            EXPECT_STREQ(g_openDoubles.lastMidiOutput, "Found Out");
            EXPECT_TRUE(g_messageBoxes.empty());
        } else {
            ASSERT_TRUE(WaitForMessageBox());
            EXPECT_EQ(g_messageBoxes[0], c.box);
            ExpectPlainMessageBox(0, window_);
            ASSERT_TRUE(PumpMessagesUntil([] { return RecordedLogRow(4)[0] != '\0'; }));
            EXPECT_STREQ(RecordedLogRow(4), c.log);
            if (c.status != nullptr) {
                EXPECT_STREQ(RecordedStatusRow(0), c.status);
            }
            EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
            EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], 0);
            EXPECT_FALSE(MenuGreyed(IDM_OPEN));
        }
        DestroyWindow(window_);
        PumpMessagesUntil([] { return false; }, 20);
        UnregisterClassA(MAIN_WINDOW_CLASS, GetModuleHandleA(NULL));
    }
}

TEST_F(MainWindowPortScanTest, NoMidiPortsAtAll) {
    Ports("none", "none");
    Start(DEV_MODE_USER_TEXT);
    EXPECT_EQ(0, LoadSystemFile(window_, path_.c_str()));
    ASSERT_EQ(1u, g_messageBoxes.size());
    EXPECT_EQ(g_messageBoxes[0], "Found no MIDI port");
    ExpectPlainMessageBox(0, window_);
    EXPECT_STREQ(RecordedStatusRow(0), "Found no MIDI port.");
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
    EXPECT_EQ(g_mainWindow.Countdown, 0);
    EXPECT_FALSE(MenuGreyed(IDM_OPEN));
}

} // namespace
