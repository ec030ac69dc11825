#include "platform/platform_thread.h"
#include "platform/platform_thread_testing.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <new>

namespace {

// A handle names a slot; the slot remembers whether the thread was joined, because a
// POSIX thread must be either joined or detached exactly once.
struct ThreadSlot {
    pthread_t thread;
    PlatformThreadProc proc;
    bool used;
    bool joined;
};

const int kThreadSlots = 16;
const int kTerminateWaitSeconds = 2;
ThreadSlot s_slots[kThreadSlots];
pthread_mutex_t s_slotLock = PTHREAD_MUTEX_INITIALIZER;

std::atomic<PlatformPostHook> s_postHook{nullptr};
std::atomic<PlatformSendHook> s_sendHook{nullptr};

void* ThreadTrampoline(void* arg) {
    PlatformThreadProc proc = reinterpret_cast<PlatformThreadProc>(arg);
    proc();
    return nullptr;
}

} // namespace

PlatformThread PlatformThreadStart(PlatformThreadProc proc, int timeCritical) {
    (void)timeCritical; // raising priority needs privileges on POSIX; the tests do not rely on it
    pthread_mutex_lock(&s_slotLock);
    int slot = -1;
    for (int i = 0; i < kThreadSlots; i++) {
        if (!s_slots[i].used) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        pthread_mutex_unlock(&s_slotLock);
        return PLATFORM_THREAD_NONE;
    }
    ThreadSlot& s = s_slots[slot];
    if (pthread_create(&s.thread, nullptr, ThreadTrampoline, reinterpret_cast<void*>(proc)) != 0) {
        pthread_mutex_unlock(&s_slotLock);
        return PLATFORM_THREAD_NONE;
    }
    s.used = true;
    s.joined = false;
    s.proc = proc;
    pthread_mutex_unlock(&s_slotLock);
    return (PlatformThread)(slot + 1);
}

void PlatformThreadWait(PlatformThread thread) {
    if (thread <= 0 || thread > kThreadSlots) {
        return;
    }
    pthread_mutex_lock(&s_slotLock);
    ThreadSlot& s = s_slots[thread - 1];
    bool join = s.used && !s.joined;
    pthread_t t = s.thread;
    s.joined = s.joined || join;
    pthread_mutex_unlock(&s_slotLock);
    if (join) {
        pthread_join(t, nullptr);
    }
}

int PlatformThreadTerminate(PlatformThread thread) {
    if (thread <= 0 || thread > kThreadSlots) {
        return 0;
    }
    pthread_mutex_lock(&s_slotLock);
    ThreadSlot& s = s_slots[thread - 1];
    bool alive = s.used && !s.joined;
    pthread_t t = s.thread;
    pthread_mutex_unlock(&s_slotLock);
    if (!alive) {
        return 1;
    }
    pthread_cancel(t);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kTerminateWaitSeconds;
    if (pthread_timedjoin_np(t, nullptr, &deadline) != 0) {
        return 0;
    }
    pthread_mutex_lock(&s_slotLock);
    s.joined = true;
    pthread_mutex_unlock(&s_slotLock);
    return 1;
}

void PlatformThreadClose(PlatformThread* thread) {
    PlatformThread h = *thread;
    *thread = PLATFORM_THREAD_NONE;
    if (h <= 0 || h > kThreadSlots) {
        return;
    }
    pthread_mutex_lock(&s_slotLock);
    ThreadSlot& s = s_slots[h - 1];
    if (s.used && !s.joined) {
        pthread_detach(s.thread);
    }
    s.used = false;
    s.joined = false;
    pthread_mutex_unlock(&s_slotLock);
}

void PlatformSleep(uint32_t milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint64_t PlatformMonotonicUs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

namespace {

std::atomic<PlatformTimerResolutionHook> s_timerHook{nullptr};

} // namespace

// POSIX sleeps are as fine as asked already: only the hook is told.
void PlatformTimerResolutionBegin(void) {
    PlatformTimerResolutionHook hook = s_timerHook.load();
    if (hook != nullptr) {
        hook(1);
    }
}

void PlatformTimerResolutionEnd(void) {
    PlatformTimerResolutionHook hook = s_timerHook.load();
    if (hook != nullptr) {
        hook(0);
    }
}

void PlatformSetTimerResolutionHook(PlatformTimerResolutionHook hook) {
    s_timerHook.store(hook);
}

namespace {

struct EventState {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    bool signalled;
};

static_assert(sizeof(EventState) <= sizeof(PlatformEvent::storage),
              "PlatformEvent cannot hold a condition variable");

EventState* State(PlatformEvent* event) {
    return reinterpret_cast<EventState*>(event->storage);
}

} // namespace

void PlatformEventInit(PlatformEvent* event) {
    EventState* e = new (event->storage) EventState;
    pthread_mutex_init(&e->lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Deadlines on the monotonic clock: a change of the wall clock must not stretch a wait.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&e->wake, &attributes);
    pthread_condattr_destroy(&attributes);
    e->signalled = false;
}

void PlatformEventDelete(PlatformEvent* event) {
    EventState* e = State(event);
    pthread_cond_destroy(&e->wake);
    pthread_mutex_destroy(&e->lock);
}

void PlatformEventSignal(PlatformEvent* event) {
    EventState* e = State(event);
    pthread_mutex_lock(&e->lock);
    e->signalled = true;
    pthread_cond_signal(&e->wake);
    pthread_mutex_unlock(&e->lock);
}

int PlatformEventWait(PlatformEvent* event, uint32_t milliseconds) {
    EventState* e = State(event);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&e->lock);
    while (!e->signalled) {
        if (pthread_cond_timedwait(&e->wake, &e->lock, &deadline) != 0) {
            break;
        }
    }
    int signalled = e->signalled ? 1 : 0;
    e->signalled = false;
    pthread_mutex_unlock(&e->lock);
    return signalled;
}

void PlatformPostCommand(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    PlatformPostHook hook = s_postHook.load();
    if (window != nullptr && hook != nullptr) {
        hook(window, commandId, lParam);
    }
}

intptr_t PlatformSendMessage(PlatformWindow window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) {
    PlatformSendHook hook = s_sendHook.load();
    if (window != nullptr && hook != nullptr) {
        return hook(window, message, wParam, lParam);
    }
    return 0;
}

void PlatformSetWindowHooks(PlatformPostHook post, PlatformSendHook send) {
    s_postHook.store(post);
    s_sendHook.store(send);
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformMutex::storage),
              "PlatformMutex cannot hold a pthread mutex");

void PlatformMutexInit(PlatformMutex* mutex) {
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(mutex->storage), nullptr);
}

void PlatformMutexDelete(PlatformMutex* mutex) {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(mutex->storage));
}

void PlatformMutexLock(PlatformMutex* mutex) {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(mutex->storage));
}

void PlatformMutexUnlock(PlatformMutex* mutex) {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(mutex->storage));
}
