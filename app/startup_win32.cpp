// The process's entry and exit: command line, hand-over to a running instance, settings,
// mode, buffers, the window and the message loop.
#include "app/startup.h"

#include "app/command_line.h"
#include "app/file_name_parts.h"
#include "app/main_window.h"
#include "app/start_mode.h"
#include "logview/log_surface.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"
#include "transports/serial_port.h"
#include "update/update_engine.h"

#include <commctrl.h>

namespace {

void ShowStartupMessage(const char* text) {
    MessageBoxA(NULL, text, NULL, MB_OK | MB_SETFOREGROUND);
}

} // namespace

void FindFileBesideProgram(const char* programPath) {
    // A path that does not fit would be cut inside a folder name, and the search would
    // run in a parent folder and could load a file from there.
    if (lstrlenA(programPath) >= PATH_SIZE) {
        return;
    }
    char pattern[PATH_SIZE];
    TextCopy(pattern, sizeof pattern, programPath);
    // Walk back character by character so a double-byte character whose second byte
    // looks like '\' is not taken for a separator.
    char* end = pattern + lstrlenA(pattern);
    char* cut = pattern;
    for (char* p = end; p > pattern;) {
        char* previous = CharPrevExA(CP_ACP, pattern, p, 0);
        if (*previous == '\\') {
            cut = previous + 1;
            break;
        }
        p = previous;
    }
    *cut = '\0';
    const size_t directoryLength = (size_t)(cut - pattern);
    TextAppend(pattern, sizeof pattern, "*.vsb");

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    FindClose(search);
    if (directoryLength + lstrlenA(found.cFileName) + 1 > PATH_SIZE) {
        return;
    }
    pattern[directoryLength] = '\0';
    TextAppend(pattern, sizeof pattern, found.cFileName);
    TextCopy(CurrentFileName, sizeof CurrentFileName, pattern);
}

HWND AppCreateMainWindow(HINSTANCE instance, int showCommand) {
    MainWindowState& w = g_mainWindow;
    w.instance = instance;
    w.FlashState = -1;
    w.Countdown = 0;
    w.ModalDepth = 0;
    w.PendingLoad = LOAD_NONE;

    const int height = MainWindowHeight(GetSystemMetrics(SM_CYCAPTION), GetSystemMetrics(SM_CYMENU),
                                        GetSystemMetrics(SM_CYEDGE), ShowLog);
    KeepWindowOnDesktopVertically(height);

    w.logBrush = CreateSolidBrush(LOG_BACK_COLOUR);
    w.infoBrush = CreateSolidBrush(INFO_BACK_COLOUR);

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSA wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, RES_APP_ICON);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = w.infoBrush;
    wc.lpszMenuName = RES_MAIN_MENU;
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    if (!RegisterClassA(&wc)) {
        DeleteObject(w.logBrush);
        DeleteObject(w.infoBrush);
        w.logBrush = NULL;
        w.infoBrush = NULL;
        return NULL;
    }
    HWND window =
        CreateWindowExA(WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE, MAIN_WINDOW_CLASS, MAIN_WINDOW_CLASS,
                        WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, g_settings.Xpos, g_settings.Ypos,
                        MAIN_WINDOW_WIDTH, height, NULL, NULL, instance, NULL);
    if (window != NULL) {
        ShowWindow(window, showCommand);
        UpdateWindow(window);
    }
    return window;
}

int AppMain(HINSTANCE instance, int showCommand, int argc, char** argv) {
    CommandLineArgs args;
    ParseCommandLine(&args, argc, argv);
    TextCopy(CurrentFileName, sizeof CurrentFileName, args.FileName);

    HWND running = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    if (running != NULL) {
        FileNamePartsSend((PlatformWindow)running, CurrentFileName);
        if (!args.NoActivate) {
            SetForegroundWindow(running);
        }
        return 0;
    }

    LoadSettings();
    ApplyModeOverride(args.ModeOverride);

    char errorText[TEXT_SIZE];
    if (!AllocUpdateBuffers(errorText)) {
        ShowStartupMessage(errorText);
        return 0;
    }
    if (g_settings.DevMode != DEV_MODE_DEVELOPER && CurrentFileName[0] == '\0' && argc > 0) {
        FindFileBesideProgram(argv[0]);
    }
    SerialProbePorts(PortPresent);

    HWND window = AppCreateMainWindow(instance, showCommand);
    if (window == NULL) {
        return 0;
    }
    HACCEL accelerators = LoadAcceleratorsA(instance, RES_ACCELERATORS);
    if (accelerators == NULL) {
        ShowStartupMessage("ACC Failed");
    }

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (accelerators != NULL && TranslateAcceleratorA(window, accelerators, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
