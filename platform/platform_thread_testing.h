// A hook into the timer primitives for tests and the soak, which run the engine without
// the system timer's resolution being changed. The product never installs one.
#pragma once

#include "platform/platform_thread.h"

#include <cstdint>

// Each PlatformTimerResolutionBegin (1) and End (0) is reported to the hook; null removes it.
typedef void (*PlatformTimerResolutionHook)(int begin);
void PlatformSetTimerResolutionHook(PlatformTimerResolutionHook hook);
