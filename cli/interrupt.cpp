#include "cli/interrupt.h"

#include "cli/terminal.h"
#include "update/transport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// How often the wait for proc looks for a signal.
const int kSignalPollMs = 20;
const int kExitStatusSignalBase = 128;

// Not opened yet / no controlling terminal to open.
const int kTerminalUnknown = -1;
const int kTerminalNone = -2;

struct Interrupt {
    int signals;          // signalfd of the stop signals and SIGCONT
    int terminal;         // the controlling terminal, or kTerminal*
    int lastStopSignal;   // 0: none yet
    uint64_t waitSinceUs; // when the latest wait for a signal began
};

Interrupt g_interrupt = {-1, kTerminalUnknown, 0, 0};

// A SIGCONT says the program was stopped (Ctrl+Z) and goes on: it stood still since the
// wait it was in began, give or take one poll, and that time is no transfer time.
void TakeContinued(void) {
    const uint64_t now = PlatformMonotonicUs();
    if (g_interrupt.waitSinceUs != 0 && now > g_interrupt.waitSinceUs) {
        TerminalLeaveOut(now - g_interrupt.waitSinceUs);
    }
    g_interrupt.waitSinceUs = now;
}

int ReadSignal(void) {
    struct signalfd_siginfo info;
    if (read(g_interrupt.signals, &info, sizeof info) != (ssize_t)sizeof info) {
        return INTERRUPT_NONE;
    }
    if (info.ssi_signo == SIGCONT) {
        TakeContinued();
        return INTERRUPT_NONE;
    }
    g_interrupt.lastStopSignal = (int)info.ssi_signo;
    return info.ssi_signo == SIGINT ? INTERRUPT_ASK : INTERRUPT_STOP;
}

int ControllingTerminal(void) {
    if (g_interrupt.terminal == kTerminalUnknown) {
        const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        g_interrupt.terminal = fd >= 0 ? fd : kTerminalNone;
    }
    return g_interrupt.terminal;
}

void WriteTerminal(const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        const ssize_t n = write(g_interrupt.terminal, text, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        left -= (size_t)n;
    }
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
    // Blocked, SIGCONT still continues a stopped program; it is only read to learn so.
    sigaddset(&set, SIGCONT);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return 0;
    }
    g_interrupt.signals = signalfd(-1, &set, SFD_CLOEXEC);
    return g_interrupt.signals >= 0 ? 1 : 0;
}

int InterruptWait(int milliseconds) {
    g_interrupt.waitSinceUs = PlatformMonotonicUs();
    struct pollfd wait = {g_interrupt.signals, POLLIN, 0};
    int ready = poll(&wait, 1, milliseconds);
    return ready > 0 ? ReadSignal() : INTERRUPT_NONE;
}

int InterruptExitStatus(void) {
    const int signal = g_interrupt.lastStopSignal != 0 ? g_interrupt.lastStopSignal : SIGINT;
    return kExitStatusSignalBase + signal;
}

int InterruptCanAsk(void) {
    const int terminal = ControllingTerminal();
    if (terminal < 0) {
        return 0;
    }
    const pid_t foreground = tcgetpgrp(terminal);
    return foreground >= 0 && foreground == getpgrp() ? 1 : 0;
}

int InterruptAsk(const char* text) {
    if (!InterruptCanAsk()) {
        return ANSWER_NO_TERMINAL;
    }
    const int terminal = g_interrupt.terminal;
    // Keys pressed before the question was there do not answer it.
    tcflush(terminal, TCIFLUSH);
    WriteTerminal(text);
    WriteTerminal(" ");
    char answer[64];
    int length = 0;
    for (;;) {
        struct pollfd wait[2] = {{g_interrupt.signals, POLLIN, 0}, {terminal, POLLIN, 0}};
        if (poll(wait, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ANSWER_NO;
        }
        if (wait[0].revents & POLLIN) {
            if (ReadSignal() != INTERRUPT_NONE) {
                WriteTerminal("\n");
                return ANSWER_STOPPED;
            }
        }
        if (wait[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char c;
            ssize_t n = read(terminal, &c, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                WriteTerminal("\n");
                return ANSWER_NO;
            }
            if (c == '\n' || c == '\r') {
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
