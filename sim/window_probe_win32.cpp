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
//   window-probe close             asks the window to close, as its close box does
//
// Exit code 0 when the awaited moment came, 1 on time-out.
#include "resources/resource_ids.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kClassName[] = "MAVO System Updater for ORVENT";

HWND FindMainWindow(void) {
    return FindWindowA(kClassName, NULL);
}

bool UpdateButtonEnabled(HWND window, RECT* rect) {
    HWND button = GetDlgItem(window, IDC_UPDATE);
    if (button == NULL || !IsWindowEnabled(button) || !IsWindowVisible(window)) {
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

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window-probe ready|finished [seconds]\n");
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
