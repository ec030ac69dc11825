#include "app/dialogs.h"

#include "resources/dialog_ids.h"
#include "settings/settings.h"
#include "update/update_engine.h"

#include <windows.h>

struct DialogsState {
    int workingMode; // the mode dialog's choice while it is open
    int aborting;    // the Stop dialog is waiting for the update thread to end
    int stopOpen;    // a Stop dialog is up
};

static DialogsState g_dialogs = {DEV_MODE_USER, 0, 0};

// The update thread moves the progress bar with synchronous sends to this thread's
// windows. While the abort waits for it to end we carry those sends out (and nothing else,
// so no click reaches a window meanwhile); a plain sleep would leave a thread that is about
// to move the bar blocked in its send, and neither thread would ever go on.
static int WaitCarryingOutSends(uint32_t milliseconds) {
    MsgWaitForMultipleObjects(0, NULL, FALSE, milliseconds, QS_SENDMESSAGE);
    MSG msg;
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    return 1;
}

static INT_PTR CALLBACK StopDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        UpdatePause();
        // Focus on the first button would make "Abort" the button Enter presses.
        SetFocus(GetDlgItem(dialog, IDC_STOP_CONTINUE));
        return FALSE;
    case WM_COMMAND:
        if (g_dialogs.aborting) {
            return TRUE;
        }
        switch (LOWORD(wParam)) {
        case IDC_STOP_CONTINUE:
            UpdateContinue();
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_STOP_ABORT:
            g_dialogs.aborting = 1;
            UpdateAbort(WaitCarryingOutSends);
            g_dialogs.aborting = 0;
            EndDialog(dialog, 1);
            return TRUE;
        }
        return TRUE;
    }
    return FALSE;
}

static void ShowWorkingMode(HWND dialog) {
    CheckRadioButton(dialog, IDC_MODE_USER, IDC_MODE_DEVELOPER,
                     IDC_MODE_USER + g_dialogs.workingMode);
}

static INT_PTR CALLBACK ModeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        int mode = g_settings.NextDevMode;
        if (mode < DEV_MODE_USER || mode > DEV_MODE_DEVELOPER) {
            mode = DEV_MODE_USER;
        }
        g_dialogs.workingMode = mode;
        ShowWorkingMode(dialog);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_MODE_USER:
        case IDC_MODE_USER_TEXT:
        case IDC_MODE_DEVELOPER:
            g_dialogs.workingMode = LOWORD(wParam) - IDC_MODE_USER;
            ShowWorkingMode(dialog);
            return TRUE;
        case IDOK:
            g_settings.NextDevMode = g_dialogs.workingMode;
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
        }
        return TRUE;
    }
    return FALSE;
}

static INT_PTR RunDialog(const char* templateName, HWND parent, DLGPROC proc) {
    return DialogBoxParamA(GetModuleHandleA(NULL), templateName, parent, proc, 0);
}

int StopDialog(HWND parent) {
    g_dialogs.stopOpen++;
    // A template that cannot be shown is taken as "Contiune": the caller then keeps the
    // window, rather than closing it under an update thread that is still alive.
    int result = RunDialog(RES_STOP_DIALOG, parent, StopDialogProc) == 1 ? 1 : 0;
    g_dialogs.stopOpen--;
    return result;
}

int StopDialogIsOpen(void) {
    return g_dialogs.stopOpen > 0;
}

int ModeDialog(HWND parent) {
    return RunDialog(RES_MODE_DIALOG, parent, ModeDialogProc) == 1 ? 1 : 0;
}

int AboutDialog(HWND parent) {
    RunDialog(RES_ABOUT_DIALOG, parent, AboutDialogProc);
    return 0;
}
