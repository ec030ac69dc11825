// Hooks into the thread primitives for tests, which run the window's side of the engine
// without windows, and the timer's resolution without changing it. The product never
// installs one.
#pragma once

#include "platform/platform_thread.h"

#include <cstdint>

// Each PlatformTimerResolutionBegin (1) and End (0) is reported to the hook; null removes it.
typedef void (*PlatformTimerResolutionHook)(int begin);
void PlatformSetTimerResolutionHook(PlatformTimerResolutionHook hook);

// Takes what PlatformPostCommand and PlatformSendMessage would post and send to the
// window values a test gave; null removes them.
typedef void (*PlatformPostHook)(PlatformWindow window, uint32_t commandId, intptr_t lParam);
typedef intptr_t (*PlatformSendHook)(PlatformWindow window, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam);
void PlatformSetWindowHooks(PlatformPostHook post, PlatformSendHook send);
