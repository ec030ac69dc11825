// The window's side of an update: what the engine reports reaches the main window as it
// always has, the progress bar moved by synchronous sends from the update thread and the
// transfer and the run's end posted as private commands.
#pragma once

#include "platform/platform_thread.h"
#include "update/update_observer.h"

// Progress bar messages (commctrl.h values; this file includes no OS header, so the
// window's tests run it natively too).
#define PBM_SETRANGE32_MSG 1030
#define PBM_SETPOS_MSG 1026

// The main window gives its progress bar once it has made it, and null when it goes.
void UpdateWindowSetProgressBar(PlatformWindow progressBar);

// The observer of an update started by mainWindow: PBM_SETRANGE32 and PBM_SETPOS sent to
// the progress bar, CMD_TRANSFER_ACTIVE (lParam TRANSFER_STARTED or TRANSFER_ENDED) and
// CMD_UPDATE_FINISHED (lParam 1 completed, 0 otherwise) posted to mainWindow. Valid until
// the next call.
const UpdateObserver* UpdateWindowObserver(PlatformWindow mainWindow);
