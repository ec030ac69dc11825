#include "platform/platform_poll.h"

#include "platform/platform_thread.h"

#include <errno.h>
#include <poll.h>

uint64_t PlatformDeadlineAfterMs(int milliseconds) {
    return PlatformMonotonicUs() + (milliseconds > 0 ? (uint64_t)milliseconds * 1000u : 0u);
}

int PlatformTimeLeftMs(uint64_t deadlineUs) {
    uint64_t now = PlatformMonotonicUs();
    if (now >= deadlineUs) {
        return 0;
    }
    // Rounded up: a wait cut to the whole milliseconds below would wake just short of the
    // deadline and poll once more for nothing.
    uint64_t left = (deadlineUs - now + 999u) / 1000u;
    return left > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)left;
}

int PlatformPollUntil(struct pollfd* fds, int count, uint64_t deadlineUs) {
    for (;;) {
        int ready = poll(fds, (nfds_t)count, PlatformTimeLeftMs(deadlineUs));
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
    }
}
