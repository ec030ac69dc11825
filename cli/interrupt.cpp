#include "cli/interrupt.h"

#include "update/transport.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

// How often the wait for proc looks for a signal.
const int kSignalPollMs = 20;

int s_signals = -1;

int ReadSignal(void) {
    struct signalfd_siginfo info;
    if (read(s_signals, &info, sizeof info) != (ssize_t)sizeof info) {
        return INTERRUPT_NONE;
    }
    return info.ssi_signo == SIGINT ? INTERRUPT_ASK : INTERRUPT_STOP;
}

std::atomic<int> s_procDone{0};
PlatformThreadProc s_proc = nullptr;

void RunProc(void) {
    s_proc();
    s_procDone.store(1);
}

int ProcDone(void) {
    return s_procDone.load();
}

} // namespace

int InterruptStart(void) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return 0;
    }
    s_signals = signalfd(-1, &set, SFD_CLOEXEC);
    return s_signals >= 0 ? 1 : 0;
}

int InterruptWait(int milliseconds) {
    struct pollfd wait = {s_signals, POLLIN, 0};
    int ready = poll(&wait, 1, milliseconds);
    return ready > 0 ? ReadSignal() : INTERRUPT_NONE;
}

int InterruptAsk(const char* question) {
    fprintf(stderr, "%s ", question);
    fflush(stderr);
    char answer[64];
    int length = 0;
    for (;;) {
        struct pollfd wait[2] = {{s_signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(wait, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ANSWER_NO;
        }
        if (wait[0].revents & POLLIN) {
            if (ReadSignal() != INTERRUPT_NONE) {
                fputc('\n', stderr);
                return ANSWER_STOPPED;
            }
        }
        if (wait[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char c;
            ssize_t n = read(STDIN_FILENO, &c, 1);
            if (n <= 0) {
                fputc('\n', stderr);
                return ANSWER_NO;
            }
            if (c == '\n') {
                break;
            }
            if (length < (int)sizeof answer - 1) {
                answer[length++] = c;
            }
        }
    }
    answer[length] = '\0';
    return answer[0] == 'y' || answer[0] == 'Y' ? ANSWER_YES : ANSWER_NO;
}

int RunStoppable(PlatformThreadProc proc) {
    s_proc = proc;
    s_procDone.store(0);
    PlatformThread thread = PlatformThreadStart(RunProc, PLATFORM_THREAD_NORMAL);
    if (thread == PLATFORM_THREAD_NONE) {
        // No thread to watch over: run it here, unstoppable as the window runs it.
        RunProc();
        return 1;
    }
    int stopped = 0;
    while (!s_procDone.load()) {
        if (InterruptWait(kSignalPollMs) != INTERRUPT_NONE) {
            AbortReceiveUntil(ProcDone, TransportWaitSleeping);
            stopped = 1;
        }
    }
    PlatformThreadWait(thread);
    PlatformThreadClose(&thread);
    return stopped ? 0 : 1;
}
