#include "update/update_engine.h"

// The engine's state outlives each run: the protocol code, packet size and flags keep the
// last instrument's values, and the skip-device-check copy is obeyed by later inquiries.
UpdateEngine g_updateEngine = {
    {}, {0}, 0, 0, 0, {UPDATE_IDLE}, 0, 0, 0, PLATFORM_THREAD_NONE, nullptr, nullptr};

int ShowLog = 0;
