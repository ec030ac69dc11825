// window-probe: watches the updater's main window from another process, as a person
// looking at the screen would, so scripts know when to press Update and when the update
// is over. It never drives the window itself; the press is a real click from outside.
//
//   window-probe window [seconds]   waits until the main window is open
//   window-probe ready [seconds]    waits until the Update button is enabled, then prints
//                                   the button's centre in screen pixels: "X Y"
//   window-probe finished [seconds] after an update was started, waits until it has
//                                   ended well: the progress bar is full; prints
//                                   "finished"
//   window-probe moving [seconds]   waits until an update is under way: the progress bar
//                                   has moved but is not full yet
//   window-probe shown CLASS [seconds] [count]
//                                   waits until at least count (1) visible top-level
//                                   windows of the window class CLASS belong to the
//                                   updater: "#32770" a dialog or message box, "#32768"
//                                   a popup menu
//   window-probe gone CLASS [seconds]
//                                   waits until no visible top-level window of CLASS
//                                   belongs to the updater any more
//   window-probe bounds [CLASS]     prints the rectangle around every visible top-level
//                                   window of the updater (of CLASS only, when given), in
//                                   screen pixels: "X Y W H"
//   window-probe texts CLASS        prints the caption of the updater's topmost visible
//                                   window of CLASS and the texts of its controls, one a
//                                   line, in UTF-8
//   window-probe close             asks the window to close, as its close box does
//   window-probe hold              keeps a hidden window open until it is ended, which
//                                  keeps Wine's desktop up between the test programs
//
// Exit code 0 when the awaited moment came, 1 on time-out.
#include "resources/resource_ids.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kClassName[] = "MAVO System Updater for ORVENT";

HWND FindMainWindow(void) {
    return FindWindowA(kClassName, NULL);
}

bool UpdateButtonEnabled(HWND window, RECT* rect) {
    HWND button = GetDlgItem(window, IDC_UPDATE);
    // While a dialog or message box is open the window itself is disabled, and a click
    // on the button does nothing.
    if (button == NULL || !IsWindowEnabled(button) || !IsWindowVisible(window) ||
        !IsWindowEnabled(window)) {
        return false;
    }
    return GetWindowRect(button, rect) != FALSE;
}

// Menus are not readable from another process everywhere; the progress bar answers its
// messages from any process.
bool ProgressBarFull(HWND window) {
    HWND bar = FindWindowExA(window, NULL, PROGRESS_CLASSA, NULL);
    if (bar == NULL) {
        return false;
    }
    LRESULT high = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    LRESULT position = SendMessageA(bar, PBM_GETPOS, 0, 0);
    return high > 0 && position >= high;
}

// Before the main window exists (a message box at start-up) only the process tells
// whose window it is.
bool BelongsToUpdater(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == NULL) {
        return false;
    }
    char path[MAX_PATH] = "";
    DWORD length = sizeof path;
    BOOL named = QueryFullProcessImageNameA(process, 0, path, &length);
    CloseHandle(process);
    const char kImage[] = "\\OrventUpdater.exe";
    size_t image = sizeof kImage - 1;
    return named && length >= image && lstrcmpiA(path + length - image, kImage) == 0;
}

// The updater's visible top-level windows, topmost first.
BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
    if (IsWindowVisible(window) && BelongsToUpdater(window)) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    }
    return TRUE;
}

std::vector<HWND> UpdaterWindows(const char* className) {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> found;
    for (HWND window : all) {
        char name[64] = "";
        GetClassNameA(window, name, sizeof name);
        if (className == NULL || lstrcmpiA(name, className) == 0) {
            found.push_back(window);
        }
    }
    return found;
}

std::string Utf8Text(HWND window) {
    wchar_t wide[512] = L"";
    GetWindowTextW(window, wide, 512);
    char narrow[1536] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow, NULL, NULL);
    return narrow;
}

BOOL CALLBACK PrintChildText(HWND child, LPARAM) {
    std::printf("%s\n", Utf8Text(child).c_str());
    return TRUE;
}

int WaitShown(const char* className, int seconds, size_t count) {
    for (int i = 0; i < seconds * 10; i++) {
        if (UpdaterWindows(className).size() >= count) {
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-probe: no %s window of the updater appeared in time\n", className);
    return 1;
}

int WaitGone(const char* className, int seconds) {
    for (int i = 0; i < seconds * 10; i++) {
        if (UpdaterWindows(className).empty()) {
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-probe: the %s window did not go in time\n", className);
    return 1;
}

int WaitMoving(int seconds) {
    for (int i = 0; i < seconds * 10; i++) {
        HWND window = FindMainWindow();
        HWND bar = window != NULL ? FindWindowExA(window, NULL, PROGRESS_CLASSA, NULL) : NULL;
        if (bar != NULL) {
            LRESULT high = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
            LRESULT position = SendMessageA(bar, PBM_GETPOS, 0, 0);
            if (position > 0 && position < high) {
                return 0;
            }
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-probe: no update under way in time\n");
    return 1;
}

int PrintBounds(const char* className) {
    std::vector<HWND> windows = UpdaterWindows(className);
    if (windows.empty()) {
        return 1;
    }
    RECT all;
    GetWindowRect(windows[0], &all);
    for (HWND window : windows) {
        RECT rect;
        GetWindowRect(window, &rect);
        UnionRect(&all, &all, &rect);
    }
    std::printf("%ld %ld %ld %ld\n", all.left, all.top, all.right - all.left, all.bottom - all.top);
    return 0;
}

int PrintTexts(const char* className) {
    std::vector<HWND> windows = UpdaterWindows(className);
    if (windows.empty()) {
        return 1;
    }
    std::printf("%s\n", Utf8Text(windows[0]).c_str());
    EnumChildWindows(windows[0], PrintChildText, 0);
    return 0;
}

int WaitReady(int seconds) {
    for (int i = 0; i < seconds * 10; i++) {
        HWND window = FindMainWindow();
        RECT rect;
        if (window != NULL && UpdateButtonEnabled(window, &rect)) {
            std::printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-probe: the Update button was not enabled in time\n");
    return 1;
}

int WaitFinished(int seconds) {
    // The bar is full only once the last block has been acknowledged; a failed update
    // leaves it short and ends in a time-out here.
    for (int i = 0; i < seconds * 10; i++) {
        HWND window = FindMainWindow();
        if (window != NULL && ProgressBarFull(window)) {
            std::printf("finished\n");
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "window-probe: no finished update seen in time\n");
    return 1;
}

} // namespace

// Wine starts its desktop for the first program that needs it and ends it after the
// last: a program that loads user32 and ends within milliseconds while the desktop is
// still starting can crash or hang at its exit.
int HoldDesktop(void) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "OrvDesktopHold";
    if (RegisterClassA(&windowClass) == 0 ||
        CreateWindowA("OrvDesktopHold", "", WS_POPUP, 0, 0, 1, 1, NULL, NULL, windowClass.hInstance,
                      NULL) == NULL) {
        return 1;
    }
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(
            stderr,
            "usage: window-probe window|ready|finished|moving|shown|gone|bounds|texts|close|hold "
            "...\n");
        return 2;
    }
    int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (std::strcmp(argv[1], "window") == 0) {
        for (int i = 0; i < seconds * 10; i++) {
            HWND window = FindMainWindow();
            if (window != NULL && IsWindowVisible(window)) {
                return 0;
            }
            Sleep(100);
        }
        return 1;
    }
    if (std::strcmp(argv[1], "ready") == 0) {
        return WaitReady(seconds);
    }
    if (std::strcmp(argv[1], "finished") == 0) {
        return WaitFinished(seconds);
    }
    if (std::strcmp(argv[1], "moving") == 0) {
        return WaitMoving(seconds);
    }
    if (std::strcmp(argv[1], "bounds") == 0) {
        return PrintBounds(argc > 2 ? argv[2] : NULL);
    }
    if ((std::strcmp(argv[1], "shown") == 0 || std::strcmp(argv[1], "texts") == 0 ||
         std::strcmp(argv[1], "gone") == 0) &&
        argc < 3) {
        std::fprintf(stderr, "usage: window-probe %s CLASS\n", argv[1]);
        return 2;
    }
    if (std::strcmp(argv[1], "shown") == 0) {
        seconds = argc > 3 ? std::atoi(argv[3]) : 60;
        size_t count = argc > 4 ? static_cast<size_t>(std::atoi(argv[4])) : 1;
        return WaitShown(argv[2], seconds, count);
    }
    if (std::strcmp(argv[1], "gone") == 0) {
        return WaitGone(argv[2], argc > 3 ? std::atoi(argv[3]) : 60);
    }
    if (std::strcmp(argv[1], "texts") == 0) {
        return PrintTexts(argv[2]);
    }
    if (std::strcmp(argv[1], "hold") == 0) {
        return HoldDesktop();
    }
    if (std::strcmp(argv[1], "close") == 0) {
        HWND window = FindMainWindow();
        if (window == NULL) {
            return 1;
        }
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    std::fprintf(stderr, "window-probe: unknown command %s\n", argv[1]);
    return 2;
}
