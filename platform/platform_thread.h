// Threads, sleeping and cross-thread messages to windows, for the update engine and
// the transports. The core never includes an OS header; it calls these.
#pragma once

#include <cstdint>

typedef intptr_t PlatformThread;
#define PLATFORM_THREAD_NONE ((PlatformThread)0)

typedef void (*PlatformThreadProc)(void);

// Starts proc at once on a thread of its own. With timeCritical the thread runs at the
// highest priority the process may give (Windows: THREAD_PRIORITY_TIME_CRITICAL).
// Returns PLATFORM_THREAD_NONE when no thread could be made.
#define PLATFORM_THREAD_NORMAL 0
#define PLATFORM_THREAD_TIME_CRITICAL 1
PlatformThread PlatformThreadStart(PlatformThreadProc proc, int timeCritical);

// Waits until the thread has ended. The waiting thread keeps carrying out messages that
// other threads send synchronously to its windows, so a worker that is in the middle of
// such a send can finish it and end; a plain blocking wait would deadlock against it.
void PlatformThreadWait(PlatformThread thread);

// Releases the handle (the thread itself runs on) and sets it to PLATFORM_THREAD_NONE.
void PlatformThreadClose(PlatformThread* thread);

// The last resort for a thread that does not end when asked: stops it where it stands
// (Windows: at once; POSIX: at its next blocking call) and waits a bounded time for it
// to be gone. Locks it holds stay held, so it is only for a thread known to hold none.
// 1 when the thread has ended (the handle still needs PlatformThreadClose); 0 when it is
// still alive.
int PlatformThreadTerminate(PlatformThread thread);

void PlatformSleep(uint32_t milliseconds);

// Microseconds of a clock that never jumps, for waits that count elapsed time.
uint64_t PlatformMonotonicUs(void);

// The system timer at 1 ms for as long as the protocol runs (Windows: timeBeginPeriod(1)
// and timeEndPeriod(1)): otherwise a 20 ms pause lasts about 31 ms and every 10 ms wait
// a whole system tick of 15.6 ms. Every Begin needs its End.
void PlatformTimerResolutionBegin(void);
void PlatformTimerResolutionEnd(void);

// An event a waiting thread sleeps on until another thread signals it (Windows: an
// auto-reset event). A signal given while nobody waits is kept for the next wait, so a
// wake that comes between a check and the wait is not lost. Init before the first use;
// Delete once no thread signals or waits any more.
struct PlatformEvent {
    alignas(8) unsigned char storage[128];
};
void PlatformEventInit(PlatformEvent* event);
void PlatformEventDelete(PlatformEvent* event);
void PlatformEventSignal(PlatformEvent* event);
// 1 when the event was signalled (the signal is used up), 0 after `milliseconds`.
int PlatformEventWait(PlatformEvent* event, uint32_t milliseconds);

typedef void* PlatformWindow;

// WM_COMMAND with wParam = commandId, posted; does nothing for a null window.
void PlatformPostCommand(PlatformWindow window, uint32_t commandId, intptr_t lParam);

// A synchronous message to a window of another thread (Windows: SendMessageA).
intptr_t PlatformSendMessage(PlatformWindow window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam);

// A lock for data shared between two threads (Windows: a critical section). The storage
// is opaque so the core includes no OS header; Init before the first Lock, Delete after
// the last Unlock.
struct PlatformMutex {
    alignas(8) unsigned char storage[64];
};
void PlatformMutexInit(PlatformMutex* mutex);
void PlatformMutexDelete(PlatformMutex* mutex);
void PlatformMutexLock(PlatformMutex* mutex);
void PlatformMutexUnlock(PlatformMutex* mutex);
