#include "app/update_window.h"

#include "resources/resource_ids.h"

namespace {

struct UpdateWindow {
    PlatformWindow mainWindow;
    PlatformWindow progressBar;
    UpdateObserver observer;
};

void SendProgressRange(void* context, int64_t length) {
    UpdateWindow* w = static_cast<UpdateWindow*>(context);
    PlatformSendMessage(w->progressBar, PBM_SETRANGE32_MSG, 0, (intptr_t)length);
}

void SendProgressPosition(void* context, int64_t position) {
    UpdateWindow* w = static_cast<UpdateWindow*>(context);
    PlatformSendMessage(w->progressBar, PBM_SETPOS_MSG, (uintptr_t)position, 0);
}

void PostTransferActive(void* context, int active) {
    UpdateWindow* w = static_cast<UpdateWindow*>(context);
    PlatformPostCommand(w->mainWindow, CMD_TRANSFER_ACTIVE, active);
}

// The window tells an abort by its own Stop dialog; the command carries success or not.
void PostFinished(void* context, int result, const char*) {
    UpdateWindow* w = static_cast<UpdateWindow*>(context);
    PlatformPostCommand(w->mainWindow, CMD_UPDATE_FINISHED,
                        result == UPDATE_RESULT_COMPLETED ? 1 : 0);
}

} // namespace

static UpdateWindow g_updateWindow = {
    nullptr,
    nullptr,
    {&g_updateWindow, SendProgressRange, SendProgressPosition, PostTransferActive, PostFinished}};

void UpdateWindowSetProgressBar(PlatformWindow progressBar) {
    g_updateWindow.progressBar = progressBar;
}

const UpdateObserver* UpdateWindowObserver(PlatformWindow mainWindow) {
    g_updateWindow.mainWindow = mainWindow;
    return &g_updateWindow.observer;
}
