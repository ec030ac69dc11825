#include "update/update_engine.h"

UpdateEngine g_updateEngine = {nullptr, nullptr, {0}, 0, 0, 0, {UPDATE_IDLE}, 0, 0, 0,
                               PLATFORM_THREAD_NONE, nullptr, nullptr};
