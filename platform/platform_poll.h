// Waiting on descriptors against a deadline (POSIX only): the raw MIDI ports and the serial
// line wait this way for their bytes and for room to write them.
#pragma once

#include <cstdint>

struct pollfd;

// A deadline `milliseconds` from now on the clock of PlatformMonotonicUs.
uint64_t PlatformDeadlineAfterMs(int milliseconds);

// Whole milliseconds left until the deadline, rounded up; 0 once it has passed.
int PlatformTimeLeftMs(uint64_t deadlineUs);

// poll() until something is reported or the deadline passes. A signal does not end the wait
// early: the time left is taken anew and the wait goes on. The descriptors are polled at least
// once, even when the deadline has passed already. As poll(): the number of descriptors with
// revents set, 0 at the deadline, -1 on failure (errno tells).
int PlatformPollUntil(struct pollfd* fds, int count, uint64_t deadlineUs);
