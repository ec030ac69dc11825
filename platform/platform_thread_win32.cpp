#include "platform/platform_thread.h"
#include "platform/platform_thread_testing.h"

#include <windows.h>

#include <cstring>

#define TERMINATE_WAIT_MS 2000

namespace {

// Tests of the engine run without windows: hooks then take the posts and sends.
PlatformPostHook volatile s_postHook = NULL;
PlatformSendHook volatile s_sendHook = NULL;

DWORD WINAPI ThreadTrampoline(LPVOID arg) {
    PlatformThreadProc proc = reinterpret_cast<PlatformThreadProc>(arg);
    proc();
    return 0;
}

} // namespace

PlatformThread PlatformThreadStart(PlatformThreadProc proc, int timeCritical) {
    HANDLE h = CreateThread(NULL, 0, ThreadTrampoline, reinterpret_cast<LPVOID>(proc), 0, NULL);
    if (h == NULL) {
        return PLATFORM_THREAD_NONE;
    }
    if (timeCritical) {
        SetThreadPriority(h, THREAD_PRIORITY_TIME_CRITICAL);
    }
    return (PlatformThread)h;
}

void PlatformThreadWait(PlatformThread thread) {
    if (thread == PLATFORM_THREAD_NONE) {
        return;
    }
    HANDLE h = (HANDLE)thread;
    // The worker sends progress-bar messages synchronously to this thread's windows.
    // Waking for QS_SENDMESSAGE and peeking lets those sends complete while we wait.
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) {
            return;
        }
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

int PlatformThreadTerminate(PlatformThread thread) {
    if (thread == PLATFORM_THREAD_NONE) {
        return 0;
    }
    HANDLE h = (HANDLE)thread;
    if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
        return 1;
    }
    TerminateThread(h, 1);
    return WaitForSingleObject(h, TERMINATE_WAIT_MS) == WAIT_OBJECT_0;
}

void PlatformThreadClose(PlatformThread* thread) {
    if (*thread != PLATFORM_THREAD_NONE) {
        CloseHandle((HANDLE)*thread);
        *thread = PLATFORM_THREAD_NONE;
    }
}

void PlatformSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint64_t PlatformMonotonicUs(void) {
    // The performance counter: GetTickCount moves in whole system ticks of 15.6 ms.
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (uint64_t)(now.QuadPart / frequency.QuadPart * 1000000 +
                      now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

namespace {

PlatformTimerResolutionHook volatile s_timerHook = NULL;

typedef UINT(WINAPI* TimePeriodProc)(UINT);

// The MIDI service's library has the timer calls; found at run time so that the
// platform layer does not import it into every program (the stand-in MIDI service among
// them, which is that library itself).
void CallTimePeriod(const char* name) {
    HMODULE winmm = GetModuleHandleA("winmm.dll");
    if (winmm == NULL) {
        winmm = LoadLibraryA("winmm.dll");
    }
    if (winmm == NULL) {
        return;
    }
    TimePeriodProc proc =
        reinterpret_cast<TimePeriodProc>(reinterpret_cast<void*>(GetProcAddress(winmm, name)));
    if (proc != NULL) {
        proc(1);
    }
}

} // namespace

void PlatformTimerResolutionBegin(void) {
    CallTimePeriod("timeBeginPeriod");
    PlatformTimerResolutionHook hook = s_timerHook;
    if (hook != NULL) {
        hook(1);
    }
}

void PlatformTimerResolutionEnd(void) {
    CallTimePeriod("timeEndPeriod");
    PlatformTimerResolutionHook hook = s_timerHook;
    if (hook != NULL) {
        hook(0);
    }
}

void PlatformSetTimerResolutionHook(PlatformTimerResolutionHook hook) {
    s_timerHook = hook;
}

static_assert(sizeof(HANDLE) <= sizeof(PlatformEvent::storage), "PlatformEvent holds a handle");

void PlatformEventInit(PlatformEvent* event) {
    HANDLE h = CreateEventA(NULL, FALSE, FALSE, NULL);
    memcpy(event->storage, &h, sizeof h);
}

void PlatformEventDelete(PlatformEvent* event) {
    HANDLE h;
    memcpy(&h, event->storage, sizeof h);
    if (h != NULL) {
        CloseHandle(h);
    }
}

void PlatformEventSignal(PlatformEvent* event) {
    HANDLE h;
    memcpy(&h, event->storage, sizeof h);
    if (h != NULL) {
        SetEvent(h);
    }
}

int PlatformEventWait(PlatformEvent* event, uint32_t milliseconds) {
    HANDLE h;
    memcpy(&h, event->storage, sizeof h);
    if (h == NULL) {
        // No event could be made: wait the time out, as the blind wait did.
        Sleep(milliseconds);
        return 0;
    }
    return WaitForSingleObject(h, milliseconds) == WAIT_OBJECT_0;
}

void PlatformPostCommand(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    PlatformPostHook hook = s_postHook;
    if (window != NULL && hook != NULL) {
        hook(window, commandId, lParam);
    } else if (window != NULL) {
        PostMessageA((HWND)window, WM_COMMAND, (WPARAM)commandId, (LPARAM)lParam);
    }
}

intptr_t PlatformSendMessage(PlatformWindow window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) {
    PlatformSendHook hook = s_sendHook;
    if (window == NULL) {
        return 0;
    }
    if (hook != NULL) {
        return hook(window, message, wParam, lParam);
    }
    return (intptr_t)SendMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam);
}

void PlatformSetWindowHooks(PlatformPostHook post, PlatformSendHook send) {
    s_postHook = post;
    s_sendHook = send;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformMutex::storage),
              "PlatformMutex cannot hold a critical section");

void PlatformMutexInit(PlatformMutex* mutex) {
    InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex->storage));
}

void PlatformMutexDelete(PlatformMutex* mutex) {
    DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex->storage));
}

void PlatformMutexLock(PlatformMutex* mutex) {
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex->storage));
}

void PlatformMutexUnlock(PlatformMutex* mutex) {
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(mutex->storage));
}
