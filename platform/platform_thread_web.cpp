// Threads, sleeping and events in a browser page, where there is one thread: the page's.
// The update "thread" is the one stack ASYNCIFY can suspend. PlatformThreadStart hands its
// proc to the page's job queue (Module.orventRun), which runs one job at a time from the
// event loop, never nested in whoever started it; the page's own calls into the core that
// may suspend go through the same queue, so two suspended stacks never exist. A sleep or
// an event wait suspends the stack until a timer of timer-worker.js fires: a dedicated
// worker's timers keep their pace in a hidden tab, where the page's own are held to one a
// second (a 20 ms pause would last a second).
//
// A blocking call made while another stack is suspended (a call from the page's script
// during an update, outside the queue) is refused: a sleep returns at once, an event wait
// returns 0 unless the event was signalled. Mutexes have nothing to guard against.
#include "platform/platform_thread.h"

#include <emscripten/emscripten.h>

#include <new>

namespace {

// A handle names a slot; the slot remembers whether its proc has returned.
struct ThreadSlot {
    PlatformThreadProc proc;
    bool used;
    bool ended;
};

const int kThreadSlots = 4;

struct PlatformThreadWeb {
    ThreadSlot slots[kThreadSlots];
    // A sleep or wait of this module has suspended the stack.
    bool suspended;
};

PlatformThreadWeb g_platformThread;

struct EventState {
    bool signalled;
};

static_assert(sizeof(EventState) <= sizeof(PlatformEvent::storage),
              "PlatformEvent cannot hold its state");

EventState* State(PlatformEvent* event) {
    return reinterpret_cast<EventState*>(event->storage);
}

} // namespace

// The page's job queue and the timer, on the core's Module object. Installed when the
// module starts, before the page can call it.
// clang-format off
EM_JS(void, WebInstallRuntime, (), {
    var jobs = Promise.resolve();
    var queued = 0;
    // A job is a function; what it returns (a promise for a call that suspended) settles
    // before the next job starts.
    Module.orventRun = function(job) {
        queued++;
        var run = jobs.then(function() { return job(); });
        var done = function() { queued--; };
        jobs = run.then(done, done);
        return run;
    };
    Module.orventIdle = function() { return queued == 0; };
    // An exported function that may suspend, called as one job: its result once it has
    // returned for good.
    Module.orventCall = function(name, returnType, argTypes, args) {
        return Module.orventRun(function() {
            return ccall(name, returnType, argTypes, args, {async: true});
        });
    };

    var worker = false; // none (node): the page's own timers
    var waits = {};
    var nextWait = 1;
    var wakeAll = function() {
        worker = false;
        var pending = waits;
        waits = {};
        for (var id in pending) setTimeout(pending[id], 0);
    };
    // Started at once, so that the first sleep does not wait for its script.
    if (typeof Worker != 'undefined') {
        try {
            worker = new Worker(locateFile('timer-worker.js'));
            worker.onmessage = function(e) {
                var wake = waits[e.data];
                delete waits[e.data];
                if (wake) wake();
            };
            worker.onerror = wakeAll;
        } catch (e) {
            worker = false;
        }
    }
    Module.orventDelay = function(milliseconds) {
        return new Promise(function(resolve) {
            if (!worker) {
                setTimeout(resolve, milliseconds);
                return;
            }
            var id = nextWait++;
            waits[id] = resolve;
            worker.postMessage([id, performance.now() + milliseconds, performance.timeOrigin]);
        });
    };
    // Until holder.wake() is called or the time is up, whichever comes first: how a
    // browser half waits for bytes that an event of the page brings.
    Module.orventWakeOrDelay = function(holder, milliseconds) {
        return new Promise(function(resolve) {
            var done = false;
            var finish = function() {
                if (!done) {
                    done = true;
                    holder.wake = null;
                    resolve();
                }
            };
            holder.wake = finish;
            Module.orventDelay(milliseconds).then(finish);
        });
    };
    // Copies up to capacity bytes from holder.queue (chunks of bytes, the first read up to
    // holder.at) to the core's memory at bytes: how a browser half hands over what came in.
    // The count taken.
    Module.orventTakeQueued = function(holder, bytes, capacity) {
        var taken = 0;
        while (taken < capacity && holder.queue.length > 0) {
            var chunk = holder.queue[0];
            var n = Math.min(capacity - taken, chunk.length - holder.at);
            HEAPU8.set(chunk.subarray(holder.at, holder.at + n), bytes + taken);
            taken += n;
            holder.at += n;
            if (holder.at >= chunk.length) {
                holder.queue.shift();
                holder.at = 0;
            }
        }
        return taken;
    };
    Module.orventEventWaits = {};
});

EM_JS(int, WebStackSuspended, (), {
    return Asyncify.currData ? 1 : 0;
});

EM_JS(void, WebQueueThread, (int slot), {
    Module.orventRun(function() {
        Module['_PlatformWebThreadRun'](slot);
        return Asyncify.currData ? Asyncify.whenDone() : undefined;
    });
});

EM_ASYNC_JS(void, WebTimerWait, (uint32_t milliseconds), {
    await Module.orventDelay(milliseconds >>> 0);
});

EM_ASYNC_JS(void, WebEventWait, (PlatformEvent* event, uint32_t milliseconds), {
    await new Promise(function(resolve) {
        Module.orventEventWaits[event] = resolve;
        Module.orventDelay(milliseconds >>> 0).then(resolve);
    });
    delete Module.orventEventWaits[event];
});

EM_JS(void, WebEventWake, (PlatformEvent* event), {
    var wake = Module.orventEventWaits[event];
    if (wake) wake();
});
// clang-format on

namespace {

__attribute__((constructor)) void InstallRuntime(void) {
    WebInstallRuntime();
}

// 1 when this call may suspend the stack: no other stack is suspended.
bool MaySuspend(void) {
    return !g_platformThread.suspended && !WebStackSuspended();
}

} // namespace

// The queue's entry into a started proc.
extern "C" EMSCRIPTEN_KEEPALIVE void PlatformWebThreadRun(int slot) {
    ThreadSlot& s = g_platformThread.slots[slot];
    s.proc();
    s.ended = true;
}

PlatformThread PlatformThreadStart(PlatformThreadProc proc, int timeCritical) {
    (void)timeCritical; // the page's thread is the only one
    for (int i = 0; i < kThreadSlots; i++) {
        ThreadSlot& s = g_platformThread.slots[i];
        if (!s.used) {
            s.proc = proc;
            s.used = true;
            s.ended = false;
            WebQueueThread(i);
            return (PlatformThread)(i + 1);
        }
    }
    return PLATFORM_THREAD_NONE;
}

// Nothing can wait here for a job of the queue without suspending in its way; the engine
// asks only once the run has made its last store, when the proc has returned.
void PlatformThreadWait(PlatformThread thread) {
    (void)thread;
}

// A suspended stack cannot be stopped from outside: 1 once the proc has returned.
int PlatformThreadTerminate(PlatformThread thread) {
    if (thread <= 0 || thread > kThreadSlots) {
        return 0;
    }
    const ThreadSlot& s = g_platformThread.slots[thread - 1];
    return !s.used || s.ended ? 1 : 0;
}

void PlatformThreadClose(PlatformThread* thread) {
    PlatformThread h = *thread;
    *thread = PLATFORM_THREAD_NONE;
    if (h <= 0 || h > kThreadSlots) {
        return;
    }
    ThreadSlot& s = g_platformThread.slots[h - 1];
    // A proc still queued or suspended keeps its slot until it returns.
    s.used = !s.ended;
}

void PlatformSleep(uint32_t milliseconds) {
    if (!MaySuspend()) {
        return;
    }
    g_platformThread.suspended = true;
    WebTimerWait(milliseconds);
    g_platformThread.suspended = false;
}

uint64_t PlatformMonotonicUs(void) {
    return (uint64_t)(emscripten_get_now() * 1000.0);
}

// The worker's timers are as fine as the browser gives them already.
void PlatformTimerResolutionBegin(void) {}

void PlatformTimerResolutionEnd(void) {}

void PlatformEventInit(PlatformEvent* event) {
    new (event->storage) EventState{false};
}

void PlatformEventDelete(PlatformEvent* event) {
    (void)event;
}

// Called from the page's script (a MIDI message that came in) or from the waiting stack
// itself; the waiting stack resumes from the event loop.
void PlatformEventSignal(PlatformEvent* event) {
    State(event)->signalled = true;
    WebEventWake(event);
}

int PlatformEventWait(PlatformEvent* event, uint32_t milliseconds) {
    EventState* e = State(event);
    if (!e->signalled && milliseconds > 0 && MaySuspend()) {
        g_platformThread.suspended = true;
        WebEventWait(event, milliseconds);
        g_platformThread.suspended = false;
    }
    const int signalled = e->signalled ? 1 : 0;
    e->signalled = false;
    return signalled;
}

// A page has no windows to post or send to.
void PlatformPostCommand(PlatformWindow window, uint32_t commandId, intptr_t lParam) {
    (void)window;
    (void)commandId;
    (void)lParam;
}

intptr_t PlatformSendMessage(PlatformWindow window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) {
    (void)window;
    (void)message;
    (void)wParam;
    (void)lParam;
    return 0;
}

void PlatformMutexInit(PlatformMutex* mutex) {
    (void)mutex;
}

void PlatformMutexDelete(PlatformMutex* mutex) {
    (void)mutex;
}

void PlatformMutexLock(PlatformMutex* mutex) {
    (void)mutex;
}

void PlatformMutexUnlock(PlatformMutex* mutex) {
    (void)mutex;
}
