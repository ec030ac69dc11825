// The main window in this process under Wine: created as start-up creates it, driven by
// the commands and timer ticks it receives, against the virtual instrument. The log view
// draws on the recording surface so the texts can be read back.
#include "app/file_name_parts.h"
#include "app/main_window.h"
#include "app/start_mode.h"
#include "app/startup.h"
#include "logview/log_view.h"
#include "resources/dialog_ids.h"
#include "resources/resource_ids.h"
#include "settings/settings_testing.h"
#include "sim/virtual_instrument.h"
#include "sim/vsb_writer.h"
#include "tests/doubles/log_surface_record.h"
#include "tests/doubles/settings_store_memory.h"
#include "tests/doubles/sim_transport.h"
#include "tests/doubles/transport_open_doubles.h"
#include "tests/test_files.h"
#include "tests/update_test_support.h"
#include "tests/window_test_support.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
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
        instrument_.versionMajor[2] = 1;
        instrument_.versionMinor[2] = 3;
        instrument_.blockAddress[2] = 0x10000;
        SimTransportDefaultConfig(&transport_);
        transport_.midiTickMs = 1;

        path_ = TestTempPath("window.vsb");
        blocks_ = {TestRandomBlock(1, 1, 5, 0, 512), TestRandomBlock(2, 1, 5, 0x10000, 512)};
        ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    }

    void TearDown() override {
        if (window_ != NULL && IsWindow(window_)) {
            DestroyWindow(window_);
        }
        PumpMessagesUntil([] { return false; }, 20);
        UnregisterClassA(MAIN_WINDOW_CLASS, GetModuleHandleA(NULL));
        KillTimer(NULL, closer_);
        g_updateEngine.updateState.store(UPDATE_IDLE);
        CurrentFileName[0] = '\0';
        TestRemoveFile(path_);
    }

    // Start-up as the entry point does it, with a file given on the command line.
    void Start(int mode, bool withFile = true) {
        LoadSettings();
        ApplyModeOverride(mode);
        char errorText[TEXT_SIZE];
        ASSERT_EQ(AllocUpdateBuffers(errorText), 1);
        RecordReset();
        RecordSetClientSize(494, ShowLog ? 514 : 258);
        VirtualInstrumentReset(&instrument_);
        SimTransportReset(&transport_);
        TextCopy(CurrentFileName, sizeof CurrentFileName, withFile ? path_.c_str() : "");
        PortPresent[0] = 0;
        PortPresent[1] = 1;
        window_ = AppCreateMainWindow(GetModuleHandleA(NULL), SW_HIDE);
        ASSERT_NE(window_, (HWND)NULL);
    }

    bool WaitForState(int state) {
        return PumpMessagesUntil([state] { return g_mainWindow.UiState == state; });
    }

    bool WaitForUpdateEnd() {
        return PumpMessagesUntil([] {
            return g_mainWindow.UiState != UI_UPDATING &&
                   g_updateEngine.updateState.load() == UPDATE_IDLE;
        });
    }

    void Command(UINT id, LPARAM lParam = 0) {
        SendMessageA(window_, WM_COMMAND, id, lParam);
    }

    bool MenuGreyed(UINT id) {
        return (GetMenuState(g_mainWindow.menu, id, MF_BYCOMMAND) & MF_GRAYED) != 0;
    }

    bool ButtonEnabled() {
        return IsWindowEnabled(g_mainWindow.updateButton) != FALSE;
    }

    void ExpectFileInFlash() {
        for (const VsbBlock& b : blocks_) {
            ExpectFlashHoldsBlock(b, VirtualInstrumentFlashRead);
        }
    }

    HWND window_ = NULL;
    UINT_PTR closer_ = 0;
    VirtualInstrumentConfig instrument_;
    SimTransportConfig transport_;
    std::vector<VsbBlock> blocks_;
    std::string path_;
};

TEST_F(MainWindowTest, UserModeOffersTheUpdateAndRunsItOnUpdate) {
    Start(DEV_MODE_USER);
    // The user modes have neither the recent files nor the Stop menu.
    EXPECT_EQ(GetMenuState(g_mainWindow.menu, IDM_STOP, MF_BYCOMMAND), (UINT)-1);
    EXPECT_EQ(GetSubMenu(GetSubMenu(g_mainWindow.menu, 0), 1), (HMENU)NULL);
    EXPECT_FALSE(ButtonEnabled());

    ASSERT_TRUE(WaitForState(UI_READY));
    EXPECT_STREQ(g_openDoubles.lastMidiOutput, "ORVENT 1 SOUND");
    EXPECT_STREQ(g_openDoubles.lastMidiInput, "ORVENT 1 KEYBOARD");
    EXPECT_STREQ(RecordedDetailsRow(0), "Name : ORVENT");
    EXPECT_STREQ(RecordedDetailsRow(2), "Software Version : 1.03 (needs update)");
    EXPECT_STREQ(RecordedStatusRow(0), "Update puts the latest system software");
    EXPECT_STREQ(RecordedStatusRow(1), " on your ORVENT.");
    EXPECT_EQ(g_mainWindow.NeedsUpdate, 1);
    EXPECT_TRUE(ButtonEnabled());

    Command(IDC_UPDATE);
    EXPECT_EQ(g_mainWindow.UiState, UI_UPDATING);
    EXPECT_TRUE(MenuGreyed(IDM_OPEN));
    EXPECT_TRUE(MenuGreyed(IDM_CONFIG));
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_STREQ(CurrentFileName, "") << "after an update the user opens the file again";

    ASSERT_TRUE(WaitForUpdateEnd());
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
    EXPECT_STREQ(RecordedDetailsRow(1), "ORVENT has been updated to 1.05 successfully.");
    EXPECT_STREQ(RecordedDetailsRow(2), "Turn it off and back on to use it.");
    EXPECT_STREQ(RecordedStatusRow(0), "Update completed!");
    EXPECT_FALSE(MenuGreyed(IDM_OPEN));
    EXPECT_EQ(g_openDoubles.isOpen[OPEN_DOUBLE_MIDI], 0) << "the transport closes at the end";
    ExpectFileInFlash();
    EXPECT_TRUE(g_messageBoxes.empty());

    // Ended behind another window: the caption flashes until the window gets the focus.
    EXPECT_EQ(g_mainWindow.FlashState, 1);
    SendMessageA(window_, WM_TIMER, TIMER_FLASH, 0);
    EXPECT_EQ(g_mainWindow.FlashState, 0);
    SendMessageA(window_, WM_SETFOCUS, 0, 0);
    EXPECT_EQ(g_mainWindow.FlashState, -1);

    // The Update button does nothing outside UI_READY in a user mode.
    const int opens = g_openDoubles.openCalls[OPEN_DOUBLE_MIDI];
    Command(IDC_UPDATE);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], opens);
}

TEST_F(MainWindowTest, DeveloperModeUpdatesAtOnceAndKeepsTheFile) {
    MemoryStorePutDword("DeviceType", 0);
    MemoryStorePutDword("ComPortNum", 4); // absent: the first present port is taken
    MemoryStorePutDword("ComBaudRate", 57600);
    Start(DEV_MODE_DEVELOPER);
    EXPECT_EQ(g_settings.ComPortNum, 2);
    ASSERT_TRUE(PumpMessagesUntil([] { return g_mainWindow.UiState == UI_UPDATING; }));
    EXPECT_EQ(g_openDoubles.lastSerialPort, 2);
    EXPECT_EQ(g_openDoubles.lastSerialRate, 57600);
    ASSERT_TRUE(WaitForUpdateEnd());
    EXPECT_STREQ(RecordedStatusRow(0), "Update completed!  Push 'Update' to Retry:");
    EXPECT_EQ(std::string(RecordedStatusRow(1)), path_);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_TRUE(MenuGreyed(IDM_STOP));
    ExpectFileInFlash();

    // Update loads the same file again and starts at once, whatever the state.
    Command(IDC_UPDATE);
    EXPECT_EQ(g_mainWindow.UiState, UI_UPDATING);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 2);
    ASSERT_TRUE(WaitForUpdateEnd());
}

TEST_F(MainWindowTest, DeveloperModeOffersTheLastFile) {
    MemoryStorePutDword("NumOfRecentFile", 1);
    MemoryStorePutString("RecentFileName0", path_.c_str());
    MemoryStorePutDword("DeviceType", 0);
    Start(DEV_MODE_DEVELOPER, false);
    EXPECT_STREQ(RecordedStatusRow(0), "Push 'Update' to open the last file :");
    EXPECT_EQ(std::string(RecordedStatusRow(1)), path_);
    EXPECT_TRUE(ButtonEnabled());
    Command(IDC_UPDATE);
    EXPECT_EQ(g_mainWindow.UiState, UI_UPDATING);
    ASSERT_TRUE(WaitForUpdateEnd());
    ExpectFileInFlash();
}

TEST_F(MainWindowTest, UpToDateInstrumentIsReportedAndReloadsAreRefused) {
    instrument_.versionMinor[1] = 5;
    Start(DEV_MODE_USER_TEXT);
    ASSERT_TRUE(WaitForState(UI_READY));
    EXPECT_STREQ(RecordedStatusRow(0), "Already the latest version.");
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(g_mainWindow.NeedsUpdate, 0);

    // In UI_READY the open transport belongs to the offered update.
    Command(CMD_RELOAD_FILE);
    FileNamePart parts[FILE_NAME_PART_MAX];
    int count = FileNamePartsMake(path_.c_str(), parts);
    for (int i = 0; i < count; i++) {
        Command(parts[i].wParam, (LPARAM)parts[i].lParam);
    }
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_MIDI], 1);
    EXPECT_EQ(g_mainWindow.UiState, UI_READY);
}

TEST_F(MainWindowTest, SecondInstanceNameIsLoadedOnlyWhenComplete) {
    MemoryStorePutDword("DeviceType", 0);
    Start(DEV_MODE_DEVELOPER, false);
    FileNamePart parts[FILE_NAME_PART_MAX];
    int count = FileNamePartsMake(path_.c_str(), parts);
    ASSERT_GE(count, 3);
    for (int i = 0; i < count - 1; i++) {
        Command(parts[i].wParam, (LPARAM)parts[i].lParam);
    }
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 0);
    Command(parts[count - 1].wParam, (LPARAM)parts[count - 1].lParam);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 1);
    EXPECT_EQ(g_mainWindow.UiState, UI_UPDATING);
    EXPECT_STREQ(CurrentFileName, "") << "a handed-over file does not become the current one";

    // While the update thread uses the transport, another name must not close it.
    for (int i = 0; i < count; i++) {
        Command(parts[i].wParam, (LPARAM)parts[i].lParam);
    }
    Command(CMD_RELOAD_FILE);
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 1);
    EXPECT_EQ(g_openDoubles.closeCalls[OPEN_DOUBLE_SERIAL], 1) << "only the load's own close";
    ASSERT_TRUE(WaitForUpdateEnd());
    ExpectFileInFlash();
}

TEST_F(MainWindowTest, SilentInstrumentIsNotFound) {
    instrument_.fault = VI_FAULT_NO_REPLY;
    instrument_.faultAt = 0;
    Start(DEV_MODE_USER_TEXT);
    ASSERT_TRUE(PumpMessagesUntil([] { return !g_messageBoxes.empty(); }));
    EXPECT_EQ(g_messageBoxes[0], "ORVENT(in update mode) is not found.");
    ExpectPlainMessageBox(0, window_);
    EXPECT_STREQ(RecordedStatusRow(0), "ORVENT(in update mode) is not found.");
    EXPECT_STREQ(RecordedLogRow(1), "Failed to recieve data(timeout).");
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
    EXPECT_EQ(g_openDoubles.isOpen[OPEN_DOUBLE_MIDI], 0);
    EXPECT_FALSE(ButtonEnabled());
}

TEST_F(MainWindowTest, TransportThatWillNotOpenIsShownInAMessageBox) {
    g_openDoubles.failOpen[OPEN_DOUBLE_MIDI] = 1;
    Start(DEV_MODE_USER);
    ASSERT_TRUE(PumpMessagesUntil([] { return !g_messageBoxes.empty(); }));
    EXPECT_EQ(g_messageBoxes[0], "Midi out port is not exist : ORVENT 1 SOUND");
    ExpectPlainMessageBox(0, window_);
    EXPECT_EQ(g_mainWindow.UiState, UI_IDLE);
}

TEST_F(MainWindowTest, ClosingWhileIdleClosesEveryTransportAndSavesTheSettings) {
    Start(DEV_MODE_DEVELOPER, false);
    SendMessageA(window_, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window_));
    for (int t = 0; t < OPEN_DOUBLE_COUNT; t++) {
        EXPECT_EQ(g_openDoubles.closeCalls[t], 1) << "transport " << t;
    }
    uint32_t mode = 99;
    EXPECT_EQ(MemoryStoreGetDword("DevMode", &mode), 1);
    EXPECT_EQ(mode, 2u);
    EXPECT_EQ(g_updateEngine.dataBuffer, nullptr) << "buffers freed with the window";
}

BOOL CALLBACK CollectStopDialog(HWND window, LPARAM list) {
    char caption[64] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (IsWindowVisible(window) && lstrcmpA(caption, "Stop to transfar") == 0) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    }
    return TRUE;
}

// The Stop dialogs of this thread that are up now.
std::vector<HWND> StopDialogsShown(DWORD threadId) {
    std::vector<HWND> found;
    EnumThreadWindows(threadId, CollectStopDialog, (LPARAM)&found);
    return found;
}

// Opens the window counted while the About dialog was up; -1 until it was seen.
int g_opensWhileAboutUp = -1;

void CALLBACK CloseAboutDialog(HWND, UINT, UINT_PTR, DWORD) {
    HWND about = FindWindowA("#32770", "About");
    if (about != NULL && g_opensWhileAboutUp < 0) {
        g_opensWhileAboutUp = g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL];
        PostMessageA(about, WM_COMMAND, IDOK, 0);
    }
}

TEST_F(MainWindowTest, AnEndSessionDuringTheStopDialogIsAnsweredWithoutASecondOne) {
    MemoryStorePutDword("DeviceType", 0);
    blocks_ = {TestRandomBlock(1, 1, 5, 0, 256 * 100)};
    ASSERT_TRUE(TestWriteSystemFile(path_, blocks_));
    Start(DEV_MODE_DEVELOPER);
    ASSERT_TRUE(WaitForState(UI_UPDATING));
    KillTimer(NULL, closer_); // the user answers this dialog, not the message-box closer

    const DWORD mainThread = GetCurrentThreadId();
    LRESULT answer = -1;
    bool answered = false;
    size_t dialogsUp = 0;
    std::thread user([&] {
        std::vector<HWND> dialogs;
        for (int i = 0; i < 1000 && dialogs.empty(); i++) {
            Sleep(10);
            dialogs = StopDialogsShown(mainThread);
        }
        DWORD_PTR result = 0;
        answered =
            SendMessageTimeoutA(window_, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 3000, &result) != 0;
        answer = (LRESULT)result;
        dialogs = StopDialogsShown(mainThread);
        dialogsUp = dialogs.size();
        for (HWND dialog : dialogs) {
            PostMessageA(dialog, WM_COMMAND, IDC_STOP_CONTINUE, 0);
        }
    });
    SendMessageA(window_, WM_CLOSE, 0, 0);
    user.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(answer, 0) << "the log-off waits while the user decides";
    EXPECT_EQ(dialogsUp, 1u);
    ASSERT_TRUE(IsWindow(window_)) << "Contiune keeps the window";
    ASSERT_TRUE(WaitForUpdateEnd());
    ExpectFileInFlash();
}

TEST_F(MainWindowTest, AStopDialogUpWithNoUpdateRunningRefusesNeitherLogOffNorClose) {
    // The update has ended (or never began) while the Stop dialog is up: nothing is left
    // for it to stop, and nothing holds the window.
    Start(DEV_MODE_DEVELOPER, false);
    KillTimer(NULL, closer_);
    const DWORD mainThread = GetCurrentThreadId();
    bool answered = false;
    LRESULT answer = -1;
    bool closeServed = false;
    std::thread user([&] {
        std::vector<HWND> dialogs;
        for (int i = 0; i < 1000 && dialogs.empty(); i++) {
            Sleep(10);
            dialogs = StopDialogsShown(mainThread);
        }
        DWORD_PTR result = 0;
        answered =
            SendMessageTimeoutA(window_, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 3000, &result) != 0;
        answer = (LRESULT)result;
        closeServed = SendMessageTimeoutA(window_, WM_CLOSE, 0, 0, SMTO_NORMAL, 3000, &result) != 0;
        for (HWND dialog : StopDialogsShown(mainThread)) {
            PostMessageA(dialog, WM_COMMAND, IDC_STOP_CONTINUE, 0);
        }
    });
    Command(IDM_STOP);
    user.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(answer, 1) << "the log-off goes ahead";
    EXPECT_TRUE(closeServed);
    EXPECT_FALSE(IsWindow(window_)) << "the close goes ahead";
    for (int t = 0; t < OPEN_DOUBLE_COUNT; t++) {
        EXPECT_GE(g_openDoubles.closeCalls[t], 1) << "transport " << t;
    }
}

TEST_F(MainWindowTest, AFileHandedOverDuringADialogIsLoadedWhenItCloses) {
    MemoryStorePutDword("DeviceType", 0);
    Start(DEV_MODE_DEVELOPER, false);
    KillTimer(NULL, closer_);
    // The pieces wait in the queue, so the About dialog's own loop carries them out.
    FileNamePartsSend((PlatformWindow)window_, path_.c_str());
    g_opensWhileAboutUp = -1;
    UINT_PTR user = SetTimer(NULL, 0, 50, CloseAboutDialog);
    Command(IDM_ABOUT);
    KillTimer(NULL, user);
    EXPECT_EQ(g_opensWhileAboutUp, 0);
    ASSERT_TRUE(WaitForState(UI_UPDATING));
    EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 1);

    // The settings now name another transport; the update's own one is closed at its end.
    g_settings.DeviceType = 2;
    ASSERT_TRUE(WaitForUpdateEnd());
    EXPECT_EQ(g_openDoubles.isOpen[OPEN_DOUBLE_SERIAL], 0);
    ExpectFileInFlash();
}

// One file dropped on the window, as the shell hands it over.
void DropFile(HWND window, const std::string& path) {
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + path.size() + 2);
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    memcpy(reinterpret_cast<char*>(drop + 1), path.c_str(), path.size());
    GlobalUnlock(memory);
    SendMessageA(window, WM_DROPFILES, (WPARAM)memory, 0);
}

TEST_F(MainWindowTest, PathsTooLongForTheirBuffersAreNotUsed) {
    MemoryStorePutDword("DeviceType", 0);
    Start(DEV_MODE_DEVELOPER, false);
    // A drop of a path of 260 characters or more would come back cut to another name. It
    // is not used, but said, with as much of the path as the message holds.
    const std::string prefix = "File path is too long - ";
    const std::string longPaths[] = {"C:\\" + std::string(300, 'd') + "\\x.vsb",
                                     "C:\\" + std::string(249, 'e') + "\\xxx.vsb"};
    for (const std::string& longPath : longPaths) {
        SCOPED_TRACE(longPath.size());
        g_messageBoxes.clear();
        g_messageBoxDetails.clear();
        g_messageBoxCalls.clear();
        DropFile(window_, longPath);
        EXPECT_EQ(g_openDoubles.openCalls[OPEN_DOUBLE_SERIAL], 0);
        EXPECT_EQ(g_settings.NumOfRecentFile, 0);
        EXPECT_STREQ(CurrentFileName, "");
        ASSERT_EQ(g_messageBoxes.size(), 1u);
        EXPECT_EQ(g_messageBoxes[0], (prefix + longPath).substr(0, TEXT_SIZE - 1));
        ExpectPlainMessageBox(0, window_);
    }

    // A program path that does not fit must not lead the search into a parent folder,
    // which here holds a system file.
    std::string folder = path_.substr(0, path_.find_last_of("\\/") + 1);
    CurrentFileName[0] = '\0';
    FindFileBesideProgram((folder + std::string(300, 'p') + "\\updater.exe").c_str());
    EXPECT_STREQ(CurrentFileName, "");
    FindFileBesideProgram((folder + "updater.exe").c_str());
    EXPECT_STRNE(CurrentFileName, "") << "a path that fits still finds the file";
}

} // namespace
