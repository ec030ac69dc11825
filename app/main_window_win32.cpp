// The main window: one dispatch switch, each message handed to a small handler, the
// commands in the order of the window's command table.
#include "app/main_window.h"

#include "app/config_dialog.h"
#include "app/dialogs.h"
#include "app/file_loading.h"
#include "app/file_name_parts.h"
#include "app/recent_files.h"
#include "app/recent_menu_win32.h"
#include "app/update_rows.h"
#include "app/update_window.h"
#include "logview/log_view.h"
#include "midi/midi_port_scan.h"
#include "midi/midi_transport.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"
#include "transports/kernel_midi.h"
#include "transports/serial_port.h"
#include "transports/usb_bulk.h"
#include "update/transport.h"
#include "update/update_engine.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

MainWindowState g_mainWindow = {};
char CurrentFileName[PATH_SIZE];
unsigned char PortPresent[SERIAL_PORT_COUNT];

namespace {

bool IsDeveloperMode(void) {
    return g_settings.DevMode == DEV_MODE_DEVELOPER;
}

bool HasRecentFiles(void) {
    return g_settings.NumOfRecentFile > 0;
}

void EnableCommand(UINT id, bool enable) {
    EnableMenuItem(g_mainWindow.menu, id, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

void EnableRecentPopup(bool enable) {
    HMENU fileMenu = GetSubMenu(g_mainWindow.menu, FILE_MENU_POSITION);
    EnableMenuItem(fileMenu, RECENT_POPUP_POSITION,
                   MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
}

void CloseAllTransports(void) {
    // A port detection still listening holds ports of its own.
    MidiPortScanFinish(NULL, NULL, NULL, NULL);
    TransportCloseAll();
    UpdateEndThread();
}

// Modal loops of the window (dialogs, message boxes, the open-file box) carry out the
// commands posted to it. A file that arrives in one is loaded only once the last of them
// has closed: a load there would close and open transports, and in developer mode start
// an update, under a dialog that goes on working with the settings of before.
template <typename Modal> int RunModal(Modal modal) {
    g_mainWindow.ModalDepth++;
    int result = modal();
    g_mainWindow.ModalDepth--;
    return result;
}

// Unlocks the window's commands after an operation.
void ShowIdleControls(HWND window) {
    EnableCommand(IDM_OPEN, true);
    EnableCommand(IDM_CONFIG, true);
    EnableCommand(IDM_STOP, false);
    if (IsDeveloperMode()) {
        if (HasRecentFiles()) {
            EnableRecentPopup(true);
        }
        if (CurrentFileName[0] != '\0') {
            InfoPutStatus(0, 1, CurrentFileName, INFO_CLEAR_ROW);
            EnableWindow(g_mainWindow.updateButton, TRUE);
        }
        DragAcceptFiles(window, TRUE);
    }
    DrawMenuBar(window);
}

// Greys the commands that must not run while a file is being worked on (Open, Config,
// and in developer mode the recent files and drops).
void LockCommands(HWND window) {
    EnableCommand(IDM_OPEN, false);
    EnableCommand(IDM_CONFIG, false);
    if (IsDeveloperMode() && HasRecentFiles()) {
        EnableRecentPopup(false);
        DragAcceptFiles(window, FALSE);
    }
    DrawMenuBar(window);
}

void StopFlashing(HWND window) {
    if (g_mainWindow.FlashState != -1) {
        KillTimer(window, TIMER_FLASH);
        FlashWindow(window, FALSE);
        g_mainWindow.FlashState = -1;
    }
}

// 1 when the window may go away: no update runs, or the user chose to abort it and the
// update thread has ended; 0 when the user chose to let it go on.
int AllowClose(HWND window) {
    // The state first: a Stop dialog left up after the update has ended holds nothing.
    if (g_updateEngine.updateState.load() != UPDATE_IDLE) {
        // A Stop dialog already up answers for itself; a second one, opened while the
        // first waits for an abort, would ignore every button and hang the program.
        if (StopDialogIsOpen()) {
            return 0;
        }
        if (RunModal([window] { return StopDialog(window); }) == 0) {
            return 0;
        }
    }
    CloseAllTransports();
    return 1;
}

void OnCreate(HWND window) {
    MainWindowState& w = g_mainWindow;
    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrA(window, GWLP_HINSTANCE);
    w.window = window;
    w.menu = GetMenu(window);
    LogViewCreate(window, (LogBrush)w.logBrush, (LogBrush)w.infoBrush, ShowLog);
    init_cusbbulk();
    SetTimer(window, TIMER_COUNTDOWN, 100, NULL);

    w.updateButton =
        CreateWindowExA(0, "BUTTON", "Update", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON,
                        20, 105, 80, 24, window, (HMENU)(INT_PTR)IDC_UPDATE, instance, NULL);
    w.progressBar =
        CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH, 25,
                        167, 445, 16, window, NULL, instance, NULL);
    UpdateWindowSetProgressBar(w.progressBar);

    int& port = g_settings.ComPortNum;
    if (port >= 1 && port <= SERIAL_PORT_COUNT && PortPresent[port - 1] == 0) {
        for (int i = 0; i < SERIAL_PORT_COUNT; i++) {
            if (PortPresent[i]) {
                port = i + 1;
                break;
            }
        }
    }

    EnableCommand(IDM_STOP, false);
    EnterUiState(window, UI_IDLE, UI_CONTROLS_KEPT);
    if (CurrentFileName[0] != '\0') {
        PostMessageA(window, WM_COMMAND, CMD_RELOAD_FILE, 0);
    }
    InfoPutDetails(0, 0, "Open system file(*.vsb)", INFO_BOLD, INFO_KEEP_ROW, INFO_ALIGN_LEFT);

    RecentMenuAttach(w.menu);
    if (IsDeveloperMode()) {
        DragAcceptFiles(window, TRUE);
        RebuildRecentMenu();
        if (HasRecentFiles() && CurrentFileName[0] == '\0') {
            InfoPutStatus(0, 0, "Push 'Update' to open the last file :", INFO_CLEAR_ROW);
            InfoPutStatus(0, 1, g_settings.RecentFileName[0], INFO_CLEAR_ROW);
            EnableWindow(w.updateButton, TRUE);
            TextCopy(CurrentFileName, sizeof CurrentFileName, g_settings.RecentFileName[0]);
        }
    } else {
        HMENU fileMenu = GetSubMenu(w.menu, FILE_MENU_POSITION);
        DeleteMenu(fileMenu, RECENT_POPUP_POSITION, MF_BYPOSITION);
        DeleteMenu(w.menu, IDM_STOP, MF_BYCOMMAND);
        RecentMenuAttach(NULL);
        DrawMenuBar(window);
    }
}

void OnDestroy(HWND window) {
    MainWindowState& w = g_mainWindow;
    KillTimer(window, TIMER_COUNTDOWN);
    FreeUpdateBuffers();
    LogViewDestroy();
    free_cusbbulk();
    DeleteObject(w.infoBrush);
    DeleteObject(w.logBrush);
    w.infoBrush = NULL;
    w.logBrush = NULL;
    SaveSettings((PlatformWindow)window);
    UpdateWindowSetProgressBar(nullptr);
    PostQuitMessage(0);
}

void OnOpen(HWND window) {
    char path[TEXT_SIZE] = "";
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window;
    ofn.lpstrFilter = "System Binary(*.vsb)\0*.vsb\0All File(*.*)\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = sizeof path;
    ofn.lpstrTitle = "Open File";
    ofn.Flags = OFN_HIDEREADONLY;
    ofn.lpstrDefExt = "*.*";
    if (!RunModal([&ofn] { return (int)GetOpenFileNameA(&ofn); })) {
        return;
    }
    TextCopy(CurrentFileName, sizeof CurrentFileName, path);
    AddRecentFile(path);
    LoadSystemFile(window, path);
}

void OnRecentFile(HWND window, int index) {
    if (index < 0 || index >= g_settings.NumOfRecentFile) {
        return;
    }
    TextCopy(CurrentFileName, sizeof CurrentFileName, g_settings.RecentFileName[index]);
    AddRecentFile(CurrentFileName);
    LoadSystemFile(window, CurrentFileName);
}

void OnUpdateButton(HWND window) {
    if (IsDeveloperMode()) {
        LoadSystemFile(window, CurrentFileName);
    } else if (g_mainWindow.UiState == UI_READY) {
        BeginUpdate(window);
    }
}

// A file from this window's creation, the Config dialog or a second instance may only be
// loaded while no transport is in use: in UI_READY the offered update holds it open, and
// in UI_UPDATING the update thread is using it.
bool MayLoadRequestedFile(void) {
    return g_mainWindow.UiState != UI_READY && g_mainWindow.UiState != UI_UPDATING;
}

// Loads the file a request names, or keeps the request until the window's modal loops
// have closed.
void OnLoadRequest(HWND window, int request) {
    MainWindowState& w = g_mainWindow;
    if (w.ModalDepth > 0) {
        w.PendingLoad = request;
        return;
    }
    if (MayLoadRequestedFile()) {
        LoadSystemFile(window, request == LOAD_HANDED_OVER ? w.FileNameAssembly : CurrentFileName);
    }
}

void OnFileNamePart(HWND window, WPARAM wParam, LPARAM lParam) {
    MainWindowState& w = g_mainWindow;
    int stored = FileNamePartStore(w.FileNameAssembly, (uintptr_t)wParam, (intptr_t)lParam);
    if (stored == FILE_NAME_PART_COMPLETE) {
        OnLoadRequest(window, LOAD_HANDED_OVER);
    }
}

void OnTransferActive(HWND window, LPARAM active) {
    EnableCommand(IDM_STOP, active != 0);
    DrawMenuBar(window);
}

void OnUpdateFinished(HWND window, LPARAM result) {
    MainWindowState& w = g_mainWindow;
    // The update's own transport: the settings may name another one by now.
    CloseTransport(g_updateEngine.deviceType);
    UpdateEndThread();
    if (result != 0) {
        PutUpdatedRows(&w.LoadedFileInfo, IsDeveloperMode()
                                              ? "Update completed!  Push 'Update' to Retry:"
                                              : "Update completed!");
    }
    EnterUiState(window, UI_IDLE, UI_CONTROLS_OF_STATE);
    if (GetForegroundWindow() != window) {
        if (w.FlashState == -1) {
            SetTimer(window, TIMER_FLASH, 500, NULL);
        }
        w.FlashState = 1;
        FlashWindow(window, TRUE);
    }
}

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    const UINT id = LOWORD(wParam);
    if (id >= IDM_RECENT_FIRST && id < IDM_RECENT_FIRST + RECENT_FILE_COUNT) {
        OnRecentFile(window, (int)(id - IDM_RECENT_FIRST));
        return;
    }
    switch (id) {
    case IDM_OPEN:
        OnOpen(window);
        break;
    case IDM_EXIT:
        SendMessageA(window, WM_CLOSE, 0, 0);
        break;
    case IDM_STOP:
        RunModal([window] { return StopDialog(window); });
        break;
    case IDM_CONFIG:
        RunModal([window] { return ConfigDialog(window); });
        break;
    case IDM_ABOUT:
        RunModal([window] { return AboutDialog(window); });
        break;
    case IDM_SET_MODE:
        RunModal([window] { return ModeDialog(window); });
        break;
    case IDC_UPDATE:
        OnUpdateButton(window);
        break;
    case CMD_RELOAD_FILE:
        OnLoadRequest(window, LOAD_CURRENT_FILE);
        break;
    case CMD_FILE_NAME_PART:
        OnFileNamePart(window, wParam, lParam);
        break;
    case CMD_TRANSFER_ACTIVE:
        OnTransferActive(window, lParam);
        break;
    case CMD_UPDATE_FINISHED:
        OnUpdateFinished(window, lParam);
        break;
    case CMD_MIDI_PORT_FOUND:
        OnMidiPortFound(window);
        break;
    default:
        break;
    }
}

void OnTimer(HWND window, WPARAM timer) {
    MainWindowState& w = g_mainWindow;
    if (timer == TIMER_FLASH) {
        w.FlashState = w.FlashState == 0 ? 1 : 0;
        FlashWindow(window, w.FlashState == 1);
    } else if (timer == TIMER_COUNTDOWN) {
        if (w.PendingLoad != LOAD_NONE && w.ModalDepth == 0) {
            const int request = w.PendingLoad;
            w.PendingLoad = LOAD_NONE;
            OnLoadRequest(window, request);
        }
        // Only the automatic port detection counts down.
        if (w.Countdown != 0) {
            w.Countdown--;
            if (w.Countdown == 0) {
                OnPortScanTimeout(window);
            }
        }
    }
}

void OnDropFiles(HWND window, HDROP drop) {
    // A path too long for the buffer would come back cut, naming another file or none.
    const UINT length = DragQueryFileA(drop, 0, NULL, 0);
    if (IsDeveloperMode() && g_mainWindow.UiState != UI_UPDATING && length > 0) {
        char path[PATH_SIZE] = "";
        if (length >= PATH_SIZE) {
            // Said, not ignored: the start of the path, cut to fit, tells the user which
            // file to move somewhere shorter.
            char text[TEXT_SIZE];
            DragQueryFileA(drop, 0, path, sizeof path);
            TextFormat(text, sizeof text, "File path is too long - %s", path);
            ShowMessage(text);
        } else if (DragQueryFileA(drop, 0, path, sizeof path) > 0) {
            TextCopy(CurrentFileName, sizeof CurrentFileName, path);
            AddRecentFile(path);
            LoadSystemFile(window, path);
        }
    }
    DragFinish(drop);
}

} // namespace

int BeginUpdate(HWND window) {
    MainWindowState& w = g_mainWindow;
    StartUpdate(UpdateWindowObserver((PlatformWindow)window), w.UpdateFileName,
                g_settings.DeviceType, g_settings.SkipVersionCheck, g_settings.SkipDeviceCheck);
    EnterUiState(window, UI_UPDATING, UI_CONTROLS_OF_STATE);
    InfoClearStatus();
    InfoPutStatus(0, 0, "Now updating...", INFO_KEEP_ROW);
    if (!IsDeveloperMode()) {
        CurrentFileName[0] = '\0';
    }
    return 1;
}

void EnterUiState(HWND window, int state, int controls) {
    if (controls == UI_CONTROLS_OF_STATE) {
        switch (state) {
        case UI_IDLE:
            ShowIdleControls(window);
            break;
        case UI_SCANNING:
        case UI_UPDATING:
            LockCommands(window);
            EnableWindow(g_mainWindow.updateButton, FALSE);
            break;
        default:
            // UI_READY follows UI_IDLE within one load, whose commands are unlocked; the
            // offer shown just before has set the Update button.
            break;
        }
    }
    g_mainWindow.UiState = state;
}

void ShowMessage(const char* text) {
    RunModal(
        [text] { return MessageBoxA(g_mainWindow.window, text, NULL, MB_OK | MB_SETFOREGROUND); });
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        g_mainWindow.window = NULL;
        return 0;
    case WM_SETFOCUS:
        StopFlashing(window);
        return 0;
    case WM_PAINT:
        LogViewPaint();
        return 0;
    case WM_CLOSE:
        if (AllowClose(window)) {
            DestroyWindow(window);
        }
        return 0;
    case WM_QUERYENDSESSION:
        return AllowClose(window);
    case WM_COMMAND:
        OnCommand(window, wParam, lParam);
        return 0;
    case WM_TIMER:
        OnTimer(window, wParam);
        return 0;
    case WM_DROPFILES:
        OnDropFiles(window, (HDROP)wParam);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
