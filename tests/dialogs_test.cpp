// The Stop, mode and About dialogs, run on this (the main) thread while a helper thread
// plays the user: it waits for the dialog, looks at it and sends it commands and keys.
// Under Wine with a display.
#include "app/dialogs.h"
#include "app/update_window.h"

#include "resources/dialog_ids.h"
#include "settings/settings_testing.h"
#include "tests/doubles/recording_transports.h"
#include "update/update_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

namespace {

const DWORD DIALOG_WAIT_MS = 10000;
const UINT SEND_TIMEOUT_MS = 5000;

const char STOP_CAPTION[] = "Stop to transfar";
const char MODE_CAPTION[] = "Set mode";
const char ABOUT_CAPTION[] = "About";

DWORD g_mainThreadId;

// Carries out messages sent and posted to this thread's windows until done() or the time
// is up; false on time-out.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

HWND FindShownDialog(const char* caption) {
    HWND dialog = FindWindowA("#32770", caption);
    if (dialog != NULL && IsWindowVisible(dialog) &&
        GetWindowThreadProcessId(dialog, NULL) == g_mainThreadId) {
        return dialog;
    }
    return NULL;
}

void PostCommand(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

void SendCommand(HWND dialog, int id) {
    DWORD_PTR result;
    SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        (LPARAM)GetDlgItem(dialog, id), SMTO_NORMAL, SEND_TIMEOUT_MS, &result);
}

void PostKey(HWND dialog, WPARAM key) {
    PostMessageA(dialog, WM_KEYDOWN, key, 1);
    PostMessageA(dialog, WM_KEYUP, key, 0xC0000001);
}

HWND FocusOfMainThread() {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(g_mainThreadId, &info)) {
        return NULL;
    }
    return info.hwndFocus;
}

// A thread whose window is not active has no focus, and other programs on the same
// display may take the activation away; a dialog that is activated again puts the focus
// back where it was.
HWND FocusInDialog(HWND dialog) {
    DWORD start = GetTickCount();
    HWND focus = FocusOfMainThread();
    while (focus == NULL && GetTickCount() - start < DIALOG_WAIT_MS) {
        SetForegroundWindow(dialog);
        Sleep(20);
        focus = FocusOfMainThread();
    }
    return focus;
}

struct DialogRun {
    int result;
    bool shown;   // the helper found the dialog
    bool rescued; // the dialog had to be ended by the helper: a fault
};

// Runs open() here while a helper thread waits for the dialog captioned caption and then
// runs drive(dialog). A dialog that is still open long after drive() is ended by the
// helper (the update state set idle, Cancel posted), so a fault fails the test instead of
// hanging it.
DialogRun RunDialog(const char* caption, const std::function<int()>& open,
                    const std::function<void(HWND)>& drive) {
    DialogRun run = {-1, false, false};
    std::atomic<bool> closed{false};
    std::thread helper([&] {
        HWND dialog = NULL;
        DWORD start = GetTickCount();
        while (dialog == NULL && !closed && GetTickCount() - start < DIALOG_WAIT_MS) {
            dialog = FindShownDialog(caption);
            Sleep(5);
        }
        if (dialog == NULL) {
            return;
        }
        run.shown = true;
        drive(dialog);
        start = GetTickCount();
        while (!closed) {
            if (GetTickCount() - start > DIALOG_WAIT_MS) {
                run.rescued = true;
                g_updateEngine.updateState.store(UPDATE_IDLE);
                PostCommand(dialog, IDCANCEL);
                start = GetTickCount();
            }
            Sleep(5);
        }
    });
    run.result = open();
    closed = true;
    helper.join();
    return run;
}

// Plays the update thread: moves the progress bar with synchronous sends while it runs,
// waits while paused, and once aborted moves the bar one last time before it ends, as a
// thread caught in the middle of a packet does. If the main thread did not serve that send
// it would time out here, and lastSendDelivered tells.
struct SimulatedUpdate {
    HWND progressBar;
    std::atomic<int> sends{0};
    std::atomic<bool> lastSendDelivered{false};
    std::atomic<bool> ended{false};
    std::thread thread;

    void Start(HWND bar) {
        progressBar = bar;
        g_updateEngine.updateState.store(UPDATE_RUNNING);
        thread = std::thread([this] { Run(); });
    }

    bool MoveBar() {
        DWORD_PTR result;
        return SendMessageTimeoutA(progressBar, PBM_SETPOS_MSG, (WPARAM)sends.load(), 0,
                                   SMTO_NORMAL, SEND_TIMEOUT_MS, &result) != 0;
    }

    void Run() {
        for (;;) {
            if (MoveBar()) {
                sends++;
            }
            if (g_updateEngine.updateState.load() != UPDATE_RUNNING) {
                while (g_updateEngine.updateState.load() == UPDATE_PAUSED) {
                    Sleep(2);
                }
                if (g_updateEngine.updateState.load() != UPDATE_RUNNING) {
                    break;
                }
            }
            Sleep(1);
        }
        lastSendDelivered = MoveBar();
        // Long enough that a dialog that does not wait returns before the thread has ended.
        Sleep(100);
        ended = true;
        g_updateEngine.updateState.store(UPDATE_IDLE);
    }
};

std::vector<TransportOperation> RecordedOperations() {
    std::vector<TransportOperation> operations;
    for (const TransportCall& call : g_recordingTransports.calls) {
        operations.push_back(call.operation);
    }
    return operations;
}

class DialogsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_mainThreadId = GetCurrentThreadId();
        SettingsReset();
        RecordingTransportsReset();
        g_updateEngine.updateState.store(UPDATE_IDLE);
        g_updateEngine.deviceType = DEVICE_TYPE_MIDI;
        // Stands for the main window and, for the simulated update thread, its progress
        // bar: both belong to this thread.
        window_ = CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL,
                                  NULL, GetModuleHandleA(NULL), NULL);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        DestroyWindow(window_);
        g_updateEngine.updateState.store(UPDATE_IDLE);
        g_updateEngine.deviceType = 0;
        SettingsReset();
    }
    HWND window_ = NULL;
};

TEST_F(DialogsTest, EveryWayOfContinuingResumesAPausedUpdate) {
    struct Case {
        const char* name;
        std::function<void(HWND)> answer;
    };
    const Case cases[] = {
        {"Contiune button", [](HWND d) { PostCommand(d, IDC_STOP_CONTINUE); }},
        {"Enter, the default button", [](HWND d) { PostKey(d, VK_RETURN); }},
        {"Esc", [](HWND d) { PostKey(d, VK_ESCAPE); }},
        {"close box", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_updateEngine.updateState.store(UPDATE_RUNNING);
        int stateWhileOpen = -1;
        bool focusOnContinue = false;
        DialogRun run = RunDialog(
            STOP_CAPTION, [this] { return StopDialog(window_); },
            [&](HWND dialog) {
                stateWhileOpen = g_updateEngine.updateState.load();
                // Windows lets Enter press whichever push button has the focus.
                focusOnContinue = FocusInDialog(dialog) == GetDlgItem(dialog, IDC_STOP_CONTINUE);
                c.answer(dialog);
            });
        EXPECT_TRUE(run.shown);
        EXPECT_TRUE(focusOnContinue);
        EXPECT_FALSE(run.rescued);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(stateWhileOpen, UPDATE_PAUSED);
        EXPECT_EQ(g_updateEngine.updateState.load(), UPDATE_RUNNING);
        EXPECT_TRUE(RecordedOperations().empty());
    }
}

TEST_F(DialogsTest, ContinuingLetsTheUpdateThreadGoOn) {
    SimulatedUpdate update;
    update.Start(window_);
    int sendsAtClose = 0;
    DialogRun run = RunDialog(
        STOP_CAPTION, [this] { return StopDialog(window_); },
        [&](HWND dialog) {
            Sleep(50); // the thread reaches its pause point
            sendsAtClose = update.sends.load();
            PostCommand(dialog, IDC_STOP_CONTINUE);
        });
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(PumpUntil([&] { return update.sends.load() > sendsAtClose + 3; }, 5000));
    EXPECT_FALSE(update.ended);
    g_updateEngine.updateState.store(UPDATE_ABORT);
    EXPECT_TRUE(PumpUntil([&] { return update.ended.load(); }, 10000));
    update.thread.join();
}

// The close request relies on this: 1 comes back only once the update thread is gone,
// and the wait keeps serving the thread's progress-bar sends.
TEST_F(DialogsTest, AbortReturnsOnlyAfterTheUpdateThreadHasEnded) {
    struct Case {
        int deviceType;
        std::vector<TransportOperation> aborts;
    };
    // Only the update's own transport is stopped, and again while the dialog waits: a
    // read that started just after the first request would not have seen it.
    const Case cases[] = {
        {DEVICE_TYPE_SERIAL, {OP_SERIAL_ABORT_RECEIVE}},
        {DEVICE_TYPE_MIDI, {OP_MIDI_ABORT_RECEIVE}},
        {DEVICE_TYPE_USB_BULK, {OP_USB_BULK_ABORT}},
        {3, {OP_KERNEL_MIDI_ABORT_RECEIVE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceType);
        RecordingTransportsReset();
        g_updateEngine.deviceType = c.deviceType;
        SimulatedUpdate update;
        update.Start(window_);
        int stateWhileOpen = -1;
        DialogRun run = RunDialog(
            STOP_CAPTION, [this] { return StopDialog(window_); },
            [&](HWND dialog) {
                stateWhileOpen = g_updateEngine.updateState.load();
                Sleep(20);
                PostCommand(dialog, IDC_STOP_ABORT);
            });
        bool endedAtReturn = update.ended.load();
        update.thread.join();
        EXPECT_FALSE(run.rescued);
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(stateWhileOpen, UPDATE_PAUSED);
        EXPECT_TRUE(endedAtReturn);
        EXPECT_TRUE(update.lastSendDelivered);
        EXPECT_EQ(g_updateEngine.updateState.load(), UPDATE_IDLE);
        std::vector<TransportOperation> operations = RecordedOperations();
        EXPECT_GT(operations.size(), 1u) << "the stop is given again while the dialog waits";
        operations.erase(std::unique(operations.begin(), operations.end()), operations.end());
        EXPECT_EQ(operations, c.aborts);
    }
}

TEST_F(DialogsTest, WithoutAnUpdateThreadTheAnswerComesAtOnce) {
    struct Case {
        int button;
        int result;
    };
    const Case cases[] = {{IDC_STOP_ABORT, 1}, {IDC_STOP_CONTINUE, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        int stateWhileOpen = -1;
        DWORD answerMs = 0;
        DialogRun run = RunDialog(
            STOP_CAPTION, [this] { return StopDialog(window_); },
            [&](HWND dialog) {
                stateWhileOpen = g_updateEngine.updateState.load();
                DWORD posted = GetTickCount();
                PostCommand(dialog, c.button);
                // The dialog hides itself when it ends; the unmapping that follows takes
                // Wine's display driver a while and is not what is timed here.
                while (IsWindow(dialog) && IsWindowVisible(dialog) &&
                       GetTickCount() - posted < DIALOG_WAIT_MS) {
                    Sleep(1);
                }
                answerMs = GetTickCount() - posted;
            });
        EXPECT_FALSE(run.rescued);
        EXPECT_EQ(run.result, c.result);
        EXPECT_LT(answerMs, 1000u);
        EXPECT_EQ(stateWhileOpen, UPDATE_IDLE);
        EXPECT_EQ(g_updateEngine.updateState.load(), UPDATE_IDLE);
    }
}

// The update thread may end on its own while the user reads the dialog; its final state
// must survive whatever the user then chooses.
TEST_F(DialogsTest, AStateTheThreadHasSetIsNeverOverwritten) {
    const int buttons[] = {IDC_STOP_CONTINUE, IDC_STOP_ABORT};
    for (int button : buttons) {
        SCOPED_TRACE(button);
        g_updateEngine.updateState.store(UPDATE_RUNNING);
        DialogRun run = RunDialog(
            STOP_CAPTION, [this] { return StopDialog(window_); },
            [&](HWND dialog) {
                g_updateEngine.updateState.store(UPDATE_IDLE);
                PostCommand(dialog, button);
            });
        EXPECT_FALSE(run.rescued);
        EXPECT_EQ(run.result, button == IDC_STOP_ABORT ? 1 : 0);
        EXPECT_EQ(g_updateEngine.updateState.load(), UPDATE_IDLE);
    }
}

struct ModeView {
    bool checked[3];
};

ModeView ReadModeButtons(HWND dialog) {
    ModeView view;
    for (int i = 0; i < 3; i++) {
        view.checked[i] = IsDlgButtonChecked(dialog, IDC_MODE_USER + i) == BST_CHECKED;
    }
    return view;
}

void ExpectOnlyChecked(const ModeView& view, int mode) {
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(view.checked[i], i == mode) << "button " << IDC_MODE_USER + i;
    }
}

TEST_F(DialogsTest, ModeDialogStoresTheChoiceOnOkOnly) {
    struct Case {
        int nextDevMode;
        int chosen;
        int button;
        int result;
        int storedAfter;
    };
    const Case cases[] = {
        {DEV_MODE_USER, DEV_MODE_DEVELOPER, IDOK, 1, DEV_MODE_DEVELOPER},
        {DEV_MODE_DEVELOPER, DEV_MODE_USER_TEXT, IDOK, 1, DEV_MODE_USER_TEXT},
        {DEV_MODE_USER_TEXT, DEV_MODE_USER, IDCANCEL, 0, DEV_MODE_USER_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nextDevMode * 100 + c.chosen * 10 + c.button);
        g_settings.DevMode = DEV_MODE_USER;
        g_settings.NextDevMode = c.nextDevMode;
        ModeView atOpening = {};
        ModeView afterChoice = {};
        DialogRun run = RunDialog(
            MODE_CAPTION, [this] { return ModeDialog(window_); },
            [&](HWND dialog) {
                atOpening = ReadModeButtons(dialog);
                SendCommand(dialog, IDC_MODE_USER + c.chosen);
                afterChoice = ReadModeButtons(dialog);
                PostCommand(dialog, c.button);
            });
        EXPECT_FALSE(run.rescued);
        EXPECT_EQ(run.result, c.result);
        ExpectOnlyChecked(atOpening, c.nextDevMode);
        ExpectOnlyChecked(afterChoice, c.chosen);
        EXPECT_EQ(g_settings.NextDevMode, c.storedAfter);
        EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER);
    }
}

TEST_F(DialogsTest, ModeDialogOpenedAgainShowsTheFirstChoice) {
    g_settings.DevMode = DEV_MODE_USER;
    g_settings.NextDevMode = DEV_MODE_USER;
    RunDialog(
        MODE_CAPTION, [this] { return ModeDialog(window_); },
        [](HWND dialog) {
            SendCommand(dialog, IDC_MODE_USER_TEXT);
            PostKey(dialog, VK_RETURN);
        });
    ModeView second = {};
    DialogRun run = RunDialog(
        MODE_CAPTION, [this] { return ModeDialog(window_); },
        [&](HWND dialog) {
            second = ReadModeButtons(dialog);
            PostKey(dialog, VK_ESCAPE);
        });
    EXPECT_EQ(run.result, 0);
    ExpectOnlyChecked(second, DEV_MODE_USER_TEXT);
    EXPECT_EQ(g_settings.NextDevMode, DEV_MODE_USER_TEXT);
    EXPECT_EQ(g_settings.DevMode, DEV_MODE_USER);
}

struct AboutView {
    bool focusOnOk;
    bool iconShown;
};

bool IsIconStatic(HWND child) {
    char className[32] = "";
    GetClassNameA(child, className, sizeof(className));
    return lstrcmpiA(className, "Static") == 0 &&
           (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

BOOL CALLBACK NoteIcon(HWND child, LPARAM param) {
    AboutView* view = reinterpret_cast<AboutView*>(param);
    if (IsIconStatic(child) && SendMessageA(child, STM_GETICON, 0, 0) != 0) {
        view->iconShown = true;
    }
    return TRUE;
}

TEST_F(DialogsTest, AboutDialogFocusesOkAndReturnsZero) {
    const int buttons[] = {IDOK, IDCANCEL};
    for (int button : buttons) {
        SCOPED_TRACE(button);
        AboutView view = {false, false};
        DialogRun run = RunDialog(
            ABOUT_CAPTION, [this] { return AboutDialog(window_); },
            [&](HWND dialog) {
                view.focusOnOk = FocusInDialog(dialog) == GetDlgItem(dialog, IDOK);
                EnumChildWindows(dialog, NoteIcon, reinterpret_cast<LPARAM>(&view));
                PostCommand(dialog, button);
            });
        EXPECT_TRUE(run.shown);
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(view.focusOnOk);
        EXPECT_TRUE(view.iconShown);
    }
}

// The templates of both languages, made (hidden) from the resource data itself: the
// Japanese texts must arrive as the right UTF-16 characters.
INT_PTR CALLBACK InertDialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

// Texts of the controls, the icon's resource name left out.
BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    if (IsIconStatic(child)) {
        return TRUE;
    }
    wchar_t text[256] = L"";
    GetWindowTextW(child, text, 256);
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(text);
    return TRUE;
}

TEST_F(DialogsTest, TemplatesHoldTheirTextsInBothLanguages) {
    struct Case {
        const char* name;
        LANGID language;
        const wchar_t* caption;
        std::vector<std::wstring> texts; // in template order
        int defaultId;
    };
    const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const LANGID japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    const LANGID neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    const Case cases[] = {
        {RES_STOP_DIALOG,
         english,
         L"Stop to transfar",
         {L"If you abort to transfer,device can't to start up normally.",
          L"(Then you should transer system file again and complete it.)",
          L"Are you sure to abort to transfer?", L"Abort", L"Contiune"},
         IDC_STOP_CONTINUE},
        {RES_STOP_DIALOG,
         japanese,
         L"Stop to transfar",
         {L"転送中に停止すると、通常起動ができなくなります。",
          L"(再度ＩＰＬモードでシステム転送を完了してください)",
          L"転送を停止してもよろしいですか？", L"停止", L"続行"},
         IDC_STOP_CONTINUE},
        {RES_MODE_DIALOG,
         english,
         L"Set mode",
         {L"User mode", L"User mode(with text)", L"Developer mode",
          L"It becomes effective when starting next time", L"OK", L"Cancel"},
         IDOK},
        {RES_MODE_DIALOG,
         japanese,
         L"Set mode",
         {L"User mode", L"User mode(with text)", L"Developer mode",
          L"この設定は次の起動から有効になります", L"OK", L"Cancel"},
         IDOK},
        {RES_ABOUT_DIALOG,
         neutral,
         L"About",
         {L"OK", L"MAVO System Updater for ORVENT version 1.21",
          L"Copyright (C) ORVENT System Updater team"},
         IDOK},
    };
    HINSTANCE instance = GetModuleHandleA(NULL);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.language));
        HRSRC found = FindResourceExA(instance, RT_DIALOG, c.name, c.language);
        ASSERT_NE(found, nullptr);
        const DLGTEMPLATE* data =
            static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(instance, found)));
        HWND dialog = CreateDialogIndirectParamW(instance, data, NULL, InertDialogProc, 0);
        ASSERT_NE(dialog, nullptr);
        wchar_t caption[64] = L"";
        GetWindowTextW(dialog, caption, 64);
        std::vector<std::wstring> texts;
        EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&texts));
        EXPECT_EQ(std::wstring(caption), c.caption);
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)), c.defaultId);
        DestroyWindow(dialog);
    }
}

} // namespace
