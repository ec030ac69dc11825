// The stop of a running update, the same for every front end: the window's Stop dialog,
// the command line's Ctrl+C and the soak's stops all go through here.
#include "update/transport.h"
#include "update/update_engine.h"

namespace {

// The front end's stop may find the run in another state than it saw: a change applies
// only from the state named, never over one the update thread has set meanwhile.
int ChangeUpdateState(int from, int to) {
    int expected = from;
    return g_updateEngine.updateState.compare_exchange_strong(expected, to) ? 1 : 0;
}

int UpdateIsIdle(void) {
    return g_updateEngine.updateState.load() == UPDATE_IDLE;
}

} // namespace

int UpdatePause(void) {
    return ChangeUpdateState(UPDATE_RUNNING, UPDATE_PAUSED);
}

void UpdateContinue(void) {
    ChangeUpdateState(UPDATE_PAUSED, UPDATE_RUNNING);
}

int UpdateAbort(TransportWaitProc wait) {
    if (UpdateIsIdle()) {
        return 1;
    }
    ChangeUpdateState(UPDATE_RUNNING, UPDATE_PAUSED);
    ChangeUpdateState(UPDATE_PAUSED, UPDATE_ABORT);
    // The thread may be waiting for a reply rather than at its pause point, or about to
    // start waiting.
    return AbortReceiveUntil(UpdateIsIdle, wait);
}
