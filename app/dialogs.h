// The main window's small modal dialogs. Each runs on the main thread with the main
// window as parent and returns when the user has closed it.
#pragma once

#include <windows.h>

// "STOP_DIALOG": pauses a running update while it asks. 1 when the user chose "Abort" and
// the update thread has ended; 0 for "Contiune" (also Enter, Esc and the close box), in
// which case a paused update runs on.
int StopDialog(HWND parent);

// 1 while a Stop dialog is up: a close or end-session request is then the dialog's to
// answer, never a second dialog's.
int StopDialogIsOpen(void);

// "MODE_DIALOG": chooses the mode for the next start. 1 on OK (NextDevMode changed), 0 on
// Cancel. The running window keeps its mode.
int ModeDialog(HWND parent);

// "ABOUTDIALOG". Returns 0.
int AboutDialog(HWND parent);
